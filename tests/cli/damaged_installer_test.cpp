// Installers damaged in every way the tail of the executable can be: each is
// refused before the game directory is touched, and `mkpatch inspect` calls
// each of them damaged.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace e2e {
namespace {

// A package that would write two loose files and patch an archive: if any
// part of it were applied before the damage is found, the game would show it.
RawPackage GoodPackage() {
    RawPackage package;
    package.AddPak("data\\a.pak");
    package.AddSubFile("s.txt", "new");
    package.AddLoose("first.txt", "first");
    package.AddLoose("second.txt", "second");
    package.AddLoose("third.txt", "third");
    return package;
}

void Rename(PatchFileRecord* record, const char* name) {
    std::memset(record->name, 0, sizeof record->name);
    std::strcpy(record->name, name);
}

u32 StubSize() {
    static const u32 size = static_cast<u32>(FileBytes(StubPath()).size());
    return size;
}

struct Damage {
    const char* name;
    std::function<void(const std::string& installer)> write;
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

void WriteSpoilt(const std::string& installer, const std::function<void(RawPackage*)>& spoil) {
    RawPackage package = GoodPackage();
    spoil(&package);
    WriteRawInstaller(installer, Deflate(package.Serialize()));
}

const Damage kDamages[] = {
    {"trailer_zero",
     [](const std::string& out) { WriteRawInstaller(out, Deflate(GoodPackage().Serialize()), 0); }},
    {"trailer_past_the_end",
     [](const std::string& out) {
         const std::string compressed = Deflate(GoodPackage().Serialize());
         WriteRawInstaller(out, compressed, StubSize() + static_cast<u32>(compressed.size()) + 9);
     }},
    {"truncated_deflate_stream",
     [](const std::string& out) {
         const std::string compressed = Deflate(GoodPackage().Serialize());
         WriteRawInstaller(out, compressed.substr(0, compressed.size() / 2));
     }},
    {"counts_too_large",
     [](const std::string& out) {
         std::string bytes = GoodPackage().Serialize();
         const u32 huge = 0x00FFFFFF;
         std::memcpy(&bytes[4 + sizeof(PatchPakRecord)], &huge, 4);
         WriteRawInstaller(out, Deflate(bytes));
     }},
    {"pak_range_outside_the_table",
     [](const std::string& out) {
         WriteSpoilt(out, [](RawPackage* p) { p->paks[0].recordCount = 9; });
     }},
    {"data_outside_the_data_area",
     [](const std::string& out) {
         WriteSpoilt(out, [](RawPackage* p) { p->files[2].dataOffset = 1000; });
     }},
    {"unterminated_name",
     [](const std::string& out) {
         WriteSpoilt(out,
                     [](RawPackage* p) { std::memset(p->files[3].name, 'n', kPatchNameSize); });
     }},
    {"absolute_name",
     [](const std::string& out) {
         WriteSpoilt(out, [](RawPackage* p) { Rename(&p->files[3], "\\orv-e2e-absolute.txt"); });
     }},
    {"parent_directory_name",
     [](const std::string& out) {
         WriteSpoilt(out, [](RawPackage* p) { Rename(&p->files[3], "..\\escaped.txt"); });
     }},
    {"drive_letter_name",
     [](const std::string& out) {
         WriteSpoilt(out, [](RawPackage* p) { Rename(&p->files[3], "C:\\orv-e2e-drive.txt"); });
     }},
};

class DamagedInstaller : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedInstaller, IsRefusedBeforeTheGameDirectoryIsTouched) {
    Scratch scratch;
    const std::string game = scratch / "work\\game";
    const std::string installer = scratch / "bin\\setup.exe";
    MakeArchive(game + "\\data\\a.pak", {{"s.txt", {"old"}}});
    PutFile(game + "\\first.txt", "as it was");
    GetParam().write(installer);
    const Snapshot before = TakeSnapshot(scratch / "work");

    RunResult run = RunInstaller(installer, game);
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(Shown(kFailed))) << run.out;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(before, TakeSnapshot(scratch / "work"));

#ifndef _WIN32
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("DAMAGED: ")) << run.out;
    run = RunProgram(MkpatchPath(), {"inspect", "--json", NativePath(installer)});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("\"ok\": false")) << run.out;
#endif
}

INSTANTIATE_TEST_SUITE_P(EveryKind, DamagedInstaller, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace e2e

// Installers damaged in every way the tail of the executable can be: each is
// refused before the game directory is touched, and `mkpatch inspect` calls
// each of them damaged.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace e2e {
namespace {

// A package that would write three loose files and patch an archive: if any
// part of it were applied before the damage is found, the game would show it.
// Record 0 is the sub-file, records 1 to 3 the loose files.
RawPackage GoodPackage() {
    RawPackage package;
    package.AddPak("data\\a.pak");
    package.AddSubFile("s.txt", "new");
    package.AddLoose("first.txt", "first");
    package.AddLoose("second.txt", "second");
    package.AddLoose("third.txt", "third");
    return package;
}

u32 StubSize() {
    static const u32 size = static_cast<u32>(FileBytes(StubPath()).size());
    return size;
}

struct Damage {
    const char* name;
    std::function<void(const std::string& installer)> write;
    // Names that only the game directory makes too long look sound on their own.
    bool inspectSeesIt = true;
    // What the reason on stderr says, when the case checks it.
    const char* why = nullptr;
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

std::function<void(const std::string&)> Spoil(std::function<void(RawPackage*)> spoil) {
    return [spoil](const std::string& installer) {
        RawPackage package = GoodPackage();
        spoil(&package);
        WriteRawInstaller(installer, Deflate(package.Serialize()));
    };
}

std::function<void(const std::string&)> Rename(int record, const std::string& name) {
    return Spoil([=](RawPackage* p) {
        char* field = record < 0 ? p->paks[0].name : p->files[record].name;
        std::memset(field, 0, kPatchNameSize);
        std::memcpy(field, name.data(), name.size());
    });
}

std::function<void(const std::string&)> TrailerAt(std::function<u32(u32 compressed)> start) {
    return [start](const std::string& installer) {
        const std::string compressed = Deflate(GoodPackage().Serialize());
        WriteRawInstaller(installer, compressed, start(static_cast<u32>(compressed.size())));
    };
}

std::function<void(const std::string&)> CountAt(size_t offset) {
    return [offset](const std::string& installer) {
        std::string bytes = GoodPackage().Serialize();
        const u32 huge = 0x00FFFFFF;
        std::memcpy(&bytes[offset], &huge, 4);
        WriteRawInstaller(installer, Deflate(bytes));
    };
}

const int kPak = -1; // Rename's record for the archive's name

const Damage kDamages[] = {
    {"trailer_zero", TrailerAt([](u32) { return 0u; })},
    {"trailer_at_the_trailer", TrailerAt([](u32 size) { return StubSize() + size; })},
    {"trailer_past_the_end", TrailerAt([](u32 size) { return StubSize() + size + 9; })},
    {"truncated_deflate_stream",
     [](const std::string& out) {
         const std::string compressed = Deflate(GoodPackage().Serialize());
         WriteRawInstaller(out, compressed.substr(0, compressed.size() / 2));
     }},
    {"pak_count_too_large", CountAt(0)},
    {"file_count_too_large", CountAt(4 + sizeof(PatchPakRecord))},
    {"pak_range_outside_the_table", Spoil([](RawPackage* p) { p->paks[0].recordCount = 9; })},
    {"pak_range_wrapping",
     Spoil([](RawPackage* p) { p->paks[0].firstRecord = 0xFFFFFFFF, p->paks[0].recordCount = 2; })},
    {"data_outside_the_data_area", Spoil([](RawPackage* p) { p->files[2].dataOffset = 1000; })},
    {"data_range_wrapping", Spoil([](RawPackage* p) {
         p->files[2].dataOffset = 0xFFFFFFF0, p->files[2].dataSize = 0x20;
     })},
    {"unterminated_loose_name", Rename(3, std::string(kPatchNameSize, 'n'))},
    {"unterminated_sub_file_name", Rename(0, std::string(kPatchNameSize, 'n'))},
    {"unterminated_pak_name", Rename(kPak, std::string(kPatchNameSize, 'n'))},
    {"empty_name", Rename(3, "")},
    {"absolute_name", Rename(3, "\\orv-e2e-absolute.txt")},
    {"slash_absolute_name", Rename(3, "/orv-e2e-absolute.txt")},
    {"drive_letter_name", Rename(3, "C:\\orv-e2e-drive.txt")},
    {"drive_relative_name", Rename(3, "c:orv-e2e-drive.txt")},
    {"stream_name", Rename(3, "third.txt:stream")},
    {"parent_directory_name", Rename(3, "..\\escaped.txt")},
    {"climbing_name", Rename(3, "data\\..\\..\\escaped.txt")},
    {"climbing_name_with_slashes", Rename(3, "data/../../escaped.txt")},
    {"name_too_long_for_the_game_directory", Rename(3, std::string(240, 'n')), false},
    {"pak_name_climbing", Rename(kPak, "..\\a.pak")},
    {"pak_name_absolute", Rename(kPak, "\\a.pak")},
    {"pak_name_too_long_for_the_game_directory", Rename(kPak, std::string(236, 'p') + ".pak"),
     false},
    {"pak_name_not_a_pak", Rename(kPak, "data\\a.zip")},
    // Names Windows would not keep as given, in a loose record and in an
    // archive's name: the reason names the record and the name.
    {"device_name", Rename(3, "data\\aux.cfg"), true, "loose file record 3 (data\\aux.cfg)"},
    {"device_name_alone", Rename(3, "con"), true, "device name"},
    {"device_name_with_extension", Rename(3, "data\\lpt1.log"), true, "device name"},
    {"device_name_as_directory", Rename(3, "nul\\z.txt"), true, "device name"},
    {"numbered_device_name", Rename(3, "COM3.dat"), true, "device name"},
    {"trailing_dot", Rename(3, "data\\x."), true, "ends in a dot"},
    {"trailing_space", Rename(3, "data\\y "), true, "ends in a dot or a space"},
    {"empty_component", Rename(3, "data\\\\x.txt"), true, "empty component"},
    {"question_mark", Rename(3, "a?.txt"), true, "0x3F"},
    {"vertical_bar", Rename(3, "a|b.txt"), true, "0x7C"},
    {"angle_bracket", Rename(3, "a<b.txt"), true, "0x3C"},
    {"control_character", Rename(3, "a\x01.txt"), true, "0x01"},
    {"incomplete_character", Rename(3, "a\xB0"), true, "starts no character"},
    {"pak_device_name", Rename(kPak, "data\\aux.pak"), true, "pak record 0 (data\\aux.pak)"},
    {"pak_device_directory", Rename(kPak, "nul\\a.pak"), true, "device name"},
    {"pak_trailing_dot_directory", Rename(kPak, "data.\\a.pak"), true, "ends in a dot"},
    {"pak_trailing_space_directory", Rename(kPak, "data \\a.pak"), true, "ends in a dot"},
    {"pak_empty_component", Rename(kPak, "data\\\\a.pak"), true, "empty component"},
    {"pak_refused_character", Rename(kPak, "a*.pak"), true, "0x2A"},
    {"pak_control_character", Rename(kPak, "a\x1F.pak"), true, "0x1F"},
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
    if (GetParam().why) {
        // (Braces: gtest's assertions are if statements.)
        EXPECT_NE(std::string::npos, run.err.find(Shown(GetParam().why))) << run.err;
    }
    EXPECT_EQ(before, TakeSnapshot(scratch / "work"));

#ifndef _WIN32
    if (!GetParam().inspectSeesIt)
        return;
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

// Random archives through create, update, list and extract: in the library,
// and through the paktool program (its command line and paths are UTF-8 on
// both systems).
#include "child_process.h"
#include "pak_test_support.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

using namespace paktest;

namespace {

// Names of ASCII and double-byte GBK characters, among them characters whose
// second byte is '\' (0x5C), '|' (0x7C) or an upper-case letter.
std::string RandomName(std::mt19937& random, bool upperTrails) {
    std::string name;
    const int components = 1 + random() % 3;
    for (int c = 0; c < components; ++c) {
        if (c)
            name += '\\';
        const int length = 1 + random() % 6;
        for (int i = 0; i < length; ++i) {
            switch (random() % 4) {
            case 0:
                name +=
                    static_cast<char>((upperTrails && random() % 2 ? 'A' : 'a') + random() % 26);
                break;
            case 1: {
                const char special[] = {0x5C, 0x7C, 0x41, 0x5A};
                name += static_cast<char>(0x81 + random() % 32);
                name += special[random() % (upperTrails ? 4 : 2)];
                break;
            }
            default: {
                u8 trail = static_cast<u8>(0x80 + random() % 0x7F);
                name += static_cast<char>(0x81 + random() % 32);
                name += static_cast<char>(trail);
            }
            }
        }
    }
    return name + "." + std::to_string(random() % 100);
}

std::string RandomData(std::mt19937& random) {
    const size_t size = random() % 8 == 0 ? random() % 40000 : random() % 700;
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

std::string Lowered(std::string name) {
    LowerCaseBytes(&name[0]);
    return name;
}

// Pieces of random sizes at random positions give the same bytes.
void ExpectReadsInPieces(PakManager& manager, const std::string& path,
                         const std::map<std::string, std::string>& expected, std::mt19937& random) {
    i32 error;
    PakArchive* archive = manager.Open(path.c_str(), PakReadOnly, false, &error);
    ASSERT_NE(archive, nullptr);
    for (const auto& [name, data] : expected) {
        PakFileEntry* entry = manager.FindSubFile(archive, name.c_str());
        ASSERT_NE(entry, nullptr);
        const u32 start = data.empty() ? 0 : random() % data.size();
        manager.SeekSubFile(entry, start, 0);
        std::string got;
        char buffer[1000];
        for (i32 n; (n = manager.ReadSubFile(entry, buffer, 1 + random() % 999)) > 0;)
            got.append(buffer, n);
        EXPECT_TRUE(got == data.substr(start)) << "sub-file " << name;
    }
    manager.Close(archive);
}

TEST(PakRoundTrip, RandomArchivesInTheLibrary) {
    ASSERT_TRUE(InitPakUpdateLock());
    TempDir dir;
    PakManager manager;
    std::mt19937 random(20240607);
    const std::string path = dir / "r.pak";
    std::map<std::string, std::string> expected;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ItemSet items;
        for (int i = 0; i < 150; ++i) {
            // Later rounds also replace sub-files, spelt in another case.
            std::string name = RandomName(random, true);
            if (round > 0 && i % 3 == 0) {
                auto it = std::next(expected.begin(), random() % expected.size());
                name = it->first;
                std::transform(name.begin(), name.end(), name.begin(),
                               [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
            }
            const std::string data = RandomData(random);
            items.Add(name, data);
            expected[Lowered(name)] = data;
        }
        ASSERT_TRUE(UpdateArchive(manager, path, items));
        const auto files = ReadAll(manager, path);
        EXPECT_EQ(files.size(), expected.size());
        EXPECT_TRUE(files == expected);
        ExpectReadsInPieces(manager, path, expected, random);
    }
}

#ifdef PAKTOOL_PATH

namespace fs = std::filesystem;

// paktool's exit status; what it printed goes to `out` when given.
int Paktool(const std::vector<std::string>& args, std::string* out = nullptr) {
    const pitest::RunResult run =
        pitest::RunProgram(PAKTOOL_PATH, args, pitest::ArgumentText::Utf8);
    if (out != nullptr)
        *out = run.out;
    return run.exitCode;
}

std::string Utf8Path(const std::string& gbkName) {
    std::string utf8;
    EXPECT_TRUE(pi::AcpToUtf8(gbkName, &utf8));
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return utf8;
}

std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().lexically_relative(root).generic_u8string()] =
            std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

// A path of the scratch directory as the tool's command line spells it.
std::string Arg(const fs::path& path) {
    return path.u8string();
}

TEST(PakRoundTrip, ThroughPaktool) {
    TempDir dir;
    const fs::path root = fs::u8path(Utf8Path(dir.path()));
    std::mt19937 random(77);
    for (int i = 0; i < 200; ++i) {
        const fs::path file = root / "src" / fs::u8path(Utf8Path(RandomName(random, false)));
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << RandomData(random);
    }
    const std::string archive = Arg(root / "t.pak");
    ASSERT_EQ(Paktool({"create", archive, Arg(root / "src")}), 0);
    ASSERT_EQ(Paktool({"create", archive, Arg(root / "src")}), 2);
    std::ofstream(root / "more.txt") << "more";
    ASSERT_EQ(Paktool({"add", archive, Arg(root / "more.txt"),
                       u8"extra/子.txt" + ("=" + Arg(root / "more.txt"))}),
              0);
    std::string listing;
    EXPECT_EQ(Paktool({"list", "--json", archive}, &listing), 0);
    EXPECT_EQ(Paktool({"verify", archive}), 0);
    ASSERT_EQ(Paktool({"extract", archive, "-C", Arg(root / "out")}), 0);

    auto expected = Tree(root / "src");
    expected["more.txt"] = expected[u8"extra/子.txt"] = "more";
    EXPECT_TRUE(Tree(root / "out") == expected);
    // A name that starts with '-' is a name, not an option.
    ASSERT_EQ(Paktool({"add", archive, "-dash.txt=" + Arg(root / "more.txt")}), 0);
    ASSERT_EQ(Paktool({"extract", archive, "-C", Arg(root / "dash"), "-dash.txt"}), 0);
    EXPECT_TRUE(Tree(root / "dash") == (std::map<std::string, std::string>{{"-dash.txt", "more"}}));
    EXPECT_EQ(static_cast<size_t>(std::count(listing.begin(), listing.end(), '{')),
              expected.size() + 2);

    // The listing is UTF-8 (a literal of the GBK-compiled test would not be).
    EXPECT_NE(listing.find(u8"extra\\\\子.txt"), std::string::npos);
    // A flipped data byte is a digest mismatch; a name with ".." is refused.
    std::string bytes = ReadFileBytes(dir / "t.pak");
    bytes[70] ^= 1;
    WriteFileBytes(dir / "t.pak", bytes);
    EXPECT_EQ(Paktool({"verify", archive}), 1);
    ASSERT_TRUE(InitPakUpdateLock());
    PakManager manager;
    ItemSet evil;
    evil.Add("..\\escaped.txt", "x");
    ASSERT_TRUE(UpdateArchive(manager, dir / "evil.pak", evil));
    EXPECT_EQ(Paktool({"extract", Arg(root / "evil.pak"), "-C", Arg(root / "evil")}), 1);
    EXPECT_FALSE(fs::exists(root / "escaped.txt"));
    EXPECT_EQ(Paktool({"list", Arg(root / "missing.pak")}), 2);
}

#endif

} // namespace

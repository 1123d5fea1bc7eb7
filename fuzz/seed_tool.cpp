// Turns real archives and installers into seeds that the fuzz targets can
// mutate in depth:
//
//   pi_fuzz_seed installer INSTALLER COMPRESSED_OUT INFLATED_OUT
//       the compressed payload and the inflated package of an installer
//   pi_fuzz_seed plain-index ARCHIVE OUT
//       the archive with its index deciphered in place
#include "pak/pak_format.h"
#include "patch/package.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

class StringSink : public Stream {
  public:
    StringSink() { status = StreamOk; }
    bool HasAccess(u32 mask) override { return (mask & StreamAccessRead) == 0; }
    u32 Tell() override { return static_cast<u32>(bytes.size()); }
    bool Seek(i32) override { return false; }
    u32 GetSize() override { return static_cast<u32>(bytes.size()); }
    bool Read(void*, u32) override { return false; }
    bool Write(const void* buffer, u32 count) override {
        bytes.append(static_cast<const char*>(buffer), count);
        return true;
    }
    std::string bytes;
};

class StringSource : public Stream {
  public:
    explicit StringSource(std::string data) : bytes(std::move(data)) { status = StreamOk; }
    bool HasAccess(u32 mask) override { return (mask & StreamAccessWrite) == 0; }
    u32 Tell() override { return position; }
    bool Seek(i32 to) override {
        position = static_cast<u32>(to);
        return position < bytes.size();
    }
    u32 GetSize() override { return static_cast<u32>(bytes.size()); }
    bool Read(void* buffer, u32 count) override {
        if (position > bytes.size() || bytes.size() - position < count)
            return false;
        bytes.copy(static_cast<char*>(buffer), count, position);
        position += count;
        return true;
    }
    bool Write(const void*, u32) override { return false; }
    std::string bytes;
    u32 position = 0;
};

bool Save(const char* path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string Load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int PlainIndex(char** argv) {
    std::string archive = Load(argv[0]);
    PakHeader header;
    if (archive.size() <= sizeof header)
        return Save(argv[1], archive) ? 0 : 1;
    archive.copy(reinterpret_cast<char*>(&header), sizeof header);
    if (static_cast<u64>(header.indexOffset) + header.indexSize > archive.size()) {
        std::fprintf(stderr, "%s: the index lies outside the file\n", argv[0]);
        return 1;
    }
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, reinterpret_cast<u8*>(&archive[header.indexOffset]), header.indexSize);
    return Save(argv[1], archive) ? 0 : 1;
}

int SplitInstaller(char** argv) {
    const std::string installer = Load(argv[0]);
    PatchTrailer trailer;
    if (installer.size() < sizeof trailer) {
        std::fprintf(stderr, "%s: too short\n", argv[0]);
        return 1;
    }
    installer.copy(reinterpret_cast<char*>(&trailer), sizeof trailer,
                   installer.size() - sizeof trailer);
    const size_t end = installer.size() - sizeof trailer;
    if (trailer.payloadStart == 0 || trailer.payloadStart >= end) {
        std::fprintf(stderr, "%s: no payload\n", argv[0]);
        return 1;
    }
    StringSource compressed(installer.substr(trailer.payloadStart, end - trailer.payloadStart));
    StringSink inflated;
    if (InflateStream(compressed, inflated, compressed.GetSize()) != 0) {
        std::fprintf(stderr, "%s: the payload does not inflate\n", argv[0]);
        return 1;
    }
    return Save(argv[1], compressed.bytes) && Save(argv[2], inflated.bytes) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "installer" && argc == 5)
        return SplitInstaller(argv + 2);
    if (command == "plain-index" && argc == 4)
        return PlainIndex(argv + 2);
    std::fprintf(stderr,
                 "usage: %s installer INSTALLER COMPRESSED_OUT INFLATED_OUT\n"
                 "       %s plain-index ARCHIVE OUT\n",
                 argv[0], argv[0]);
    return 2;
}

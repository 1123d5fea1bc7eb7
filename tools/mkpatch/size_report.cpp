#include "size_report.h"

#include "mkpatch.h"
#include "patch/report.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace mkpatch {
namespace {

constexpr size_t kReasons = 4;
// By Carried: the words of the text, the keys of the JSON.
const char* const kReasonWords[kReasons] = {"changed", "new", "already equal", "carried"};
const char* const kReasonKeys[kReasons] = {"changed", "new", "equal", "carried"};
const char* const kKindKeys[] = {"archive", "directory", "outside archives"};

// The directory of a loose file, separator included. Split in UTF-8, where
// a '\' byte is always a separator (in code page 936 it may be the second
// byte of a character).
std::string DirectoryOf(const std::string& utf8Name) {
    const size_t separator = utf8Name.rfind('\\');
    return separator == std::string::npos ? ".\\" : utf8Name.substr(0, separator + 1);
}

// The columns a terminal gives the text: two for each CJK character (three
// bytes in UTF-8), one for any other.
size_t Columns(const std::string& utf8) {
    size_t columns = 0;
    for (unsigned char c : utf8)
        if (c < 0x80 || (c >= 0xC0 && c < 0xE0))
            ++columns;
        else if (c >= 0xE0)
            columns += 2;
    return columns;
}

u32 Records(const SizeRow& row) {
    u32 total = 0;
    for (u32 count : row.counts)
        total += count;
    return total;
}

// "40 changed, 3 new sub-files".
std::string CountsText(const SizeRow& row) {
    std::string text;
    for (size_t i = 0; i < kReasons; ++i)
        if (row.counts[i] != 0)
            text += FormatText("%s%u %s", text.empty() ? "" : ", ", row.counts[i], kReasonWords[i]);
    const bool one = Records(row) == 1;
    switch (row.kind) {
    case SizeRow::Archive:
        return text + (one ? " sub-file" : " sub-files");
    case SizeRow::Directory:
        return text + (one ? " loose file" : " loose files");
    case SizeRow::OutsideArchives:
        break;
    }
    return text + (one ? " in-pak record" : " in-pak records") + ", which the installer skips";
}

SizeRow::Kind KindOf(const CarriedRecord& record) {
    if (record.outsideArchives)
        return SizeRow::OutsideArchives;
    return record.archive.empty() ? SizeRow::Directory : SizeRow::Archive;
}

std::string RowName(const CarriedRecord& record) {
    switch (KindOf(record)) {
    case SizeRow::Archive:
        return ToUtf8(record.archive);
    case SizeRow::Directory:
        return DirectoryOf(ToUtf8(record.name));
    case SizeRow::OutsideArchives:
        break;
    }
    return "(outside every archive)";
}

} // namespace

std::vector<SizeRow> SizeRows(const std::vector<CarriedRecord>& records) {
    std::map<std::pair<SizeRow::Kind, std::string>, SizeRow> grouped;
    for (const CarriedRecord& record : records) {
        const SizeRow::Kind kind = KindOf(record);
        const std::string name = RowName(record);
        SizeRow& row = grouped[{kind, name}];
        row.name = name;
        row.kind = kind;
        row.bytes += record.size;
        ++row.counts[static_cast<size_t>(record.why)];
    }
    std::vector<SizeRow> rows;
    for (auto& entry : grouped)
        rows.push_back(std::move(entry.second));
    std::stable_sort(rows.begin(), rows.end(), [](const SizeRow& a, const SizeRow& b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.name < b.name;
    });
    return rows;
}

void PrintSizeReport(const std::vector<SizeRow>& rows) {
    printf("carried, largest first (stored bytes; the package is compressed as one stream):\n");
    if (rows.empty())
        printf("  nothing\n");
    std::vector<std::string> sizes;
    size_t nameWidth = 0, sizeWidth = 0;
    for (const SizeRow& row : rows) {
        sizes.push_back(DescribeSize(row.bytes));
        nameWidth = std::max(nameWidth, Columns(row.name));
        sizeWidth = std::max(sizeWidth, sizes.back().size());
    }
    for (size_t i = 0; i < rows.size(); ++i)
        printf("  %s%*s  %*s  (%s)\n", rows[i].name.c_str(),
               static_cast<int>(nameWidth - Columns(rows[i].name)), "", static_cast<int>(sizeWidth),
               sizes[i].c_str(), CountsText(rows[i]).c_str());
}

pitool::Json SizeReportJson(const std::vector<SizeRow>& rows) {
    pitool::Json report = pitool::Json::array();
    for (const SizeRow& row : rows) {
        pitool::Json entry = {{"name", row.name},
                              {"kind", kKindKeys[row.kind]},
                              {"bytes", row.bytes},
                              {"records", Records(row)}};
        for (size_t i = 0; i < kReasons; ++i)
            entry[kReasonKeys[i]] = row.counts[i];
        report.push_back(entry);
    }
    return report;
}

} // namespace mkpatch

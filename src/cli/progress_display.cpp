#include "cli/progress_display.h"

#include "cli/console.h"
#include "platform/codepage.h"

#include <algorithm>
#include <cstdio>

namespace cli {
namespace {

constexpr int kBarWidth = 30;
// Label, brackets and the percentage around the bar.
constexpr int kBarFrame = 16;
// Cursor up three lines to the status line; erase a whole line.
const char kBackToStatus[] = "\x1b[3A\r";
const char kEraseLine[] = "\x1b[2K";

} // namespace

std::string FitToColumns(const std::string& acp, int columns) {
    if (columns <= 0 || (int)acp.size() <= columns)
        return acp;
    const std::string ellipsis = "...";
    if (columns <= (int)ellipsis.size())
        return std::string();
    // Walk the characters from the start so that a cut never splits one.
    size_t keepFrom = acp.size() - (columns - ellipsis.size());
    size_t at = 0;
    while (at < keepFrom)
        at += (pi::IsLeadByte((unsigned char)acp[at]) && at + 1 < acp.size()) ? 2 : 1;
    return ellipsis + acp.substr(at);
}

void ProgressDisplay::SetStatus(const std::string& text) {
    if (!m_redraw) {
        // The job may have named the next item before this one is shown; a
        // name is printed once however many messages announce it.
        if (text.find_first_not_of(' ') != std::string::npos && text != m_status)
            WriteOut(text + "\n");
        m_status = text;
        return;
    }
    m_status = text;
    Redraw();
}

void ProgressDisplay::SetItemPercent(u32 percent) {
    if (m_redraw && (percent != m_item || !m_drawn)) {
        m_item = percent;
        Redraw();
    }
}

void ProgressDisplay::SetOverallPercent(u32 percent) {
    if (m_redraw && (percent != m_overall || !m_drawn)) {
        m_overall = percent;
        Redraw();
    }
}

void ProgressDisplay::PrintLine(const std::string& text) {
    LeaveDrawing();
    WriteOut(text + "\n");
}

ProgressDisplay::Answer ProgressDisplay::AskYesNo(const std::string& question) {
    LeaveDrawing();
    WriteOut(question + " (y/N) " + (m_redraw ? "" : "\n"));
    std::string answer;
    LineRead read = ReadLine(&answer);
    if (read == LineRead::EndOfInput)
        return Answer::Unreadable;
    size_t first = answer.find_first_not_of(" \t");
    bool yes = read == LineRead::Read && first != std::string::npos &&
               (answer[first] == 'y' || answer[first] == 'Y');
    return yes ? Answer::Yes : Answer::No;
}

std::string ProgressDisplay::Bar(const char* label, u32 percent, int columns) const {
    // A line that wraps would break the redraw in place.
    int width = kBarWidth;
    if (columns > 0)
        width = columns > kBarFrame + 10 ? std::min(kBarWidth, columns - 1 - kBarFrame) : 10;
    int filled = (int)(std::min<u32>(percent, 100) * width / 100);
    std::string line = label;
    line += " [";
    line.append(filled, '#');
    line.append(width - filled, '-');
    char number[8];
    snprintf(number, sizeof number, "] %3u%%", (unsigned)std::min<u32>(percent, 100));
    return line + number;
}

void ProgressDisplay::Redraw() {
    std::string text = m_drawn ? kBackToStatus : "";
    int columns = OutputColumns();
    text += kEraseLine + FitToColumns(m_status, columns > 1 ? columns - 1 : 0) + "\n";
    text += kEraseLine + Bar("当前文件", m_item, columns) + "\n";
    text += kEraseLine + Bar("全部更新", m_overall, columns) + "\n";
    WriteOut(text);
    m_drawn = true;
}

void ProgressDisplay::LeaveDrawing() {
    // The drawn lines stay on the screen as they are; the next redraw starts
    // below whatever is printed now.
    m_drawn = false;
}

} // namespace cli

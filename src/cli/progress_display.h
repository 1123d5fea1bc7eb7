// What the terminal installer shows while the job runs: a status line and the
// two bars of the dialog ("当前文件", "全部更新"), redrawn in place on a
// terminal, or one plain line per status change when the output is a pipe
// or a file.
#pragma once

#include "runtime/types.h"

#include <string>

namespace cli {

class ProgressDisplay {
  public:
    explicit ProgressDisplay(bool redraw) : m_redraw(redraw) {}

    // Texts are in the system code page. A blank status prints nothing on a
    // pipe.
    void SetStatus(const std::string& text);
    void SetItemPercent(u32 percent);
    void SetOverallPercent(u32 percent);

    // Prints a line below the progress lines; they are drawn afresh below it
    // at the next change.
    void PrintLine(const std::string& text);
    enum class Answer { Yes, No, Unreadable };
    // Asks a question and reads the answer from standard input: Yes only for
    // an answer that starts with 'y' or 'Y'; Unreadable at end of input.
    Answer AskYesNo(const std::string& question);

  private:
    void Redraw();
    void LeaveDrawing();
    std::string Bar(const char* label, u32 percent, int columns) const;

    bool m_redraw;
    bool m_drawn = false;
    std::string m_status;
    u32 m_item = 0;
    u32 m_overall = 0;
};

// The status line cut to `columns` display columns, keeping its end (where
// the file name is); a GBK character takes two columns, as two bytes.
std::string FitToColumns(const std::string& acp, int columns);

} // namespace cli

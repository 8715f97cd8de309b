// Reading back text files that the C runtime wrote in text mode, and the
// adaptor log's lines taken apart for the checks the suites make on them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "WaitUntil.h"

namespace tarn_test {

// The bytes of a file, read with full sharing so that a file another stream
// still holds open can be read. Empty when the file cannot be read.
std::string ReadFileBytes(const std::wstring& path);

// The lines of a text file written in the C runtime's text mode: narrow text
// in the runtime's current locale, each line ended by CR LF. The returned
// lines carry no line end. A last line without CR LF (a cut write) is
// returned as it stands; a lone LF stays inside its line, so a test sees it.
std::vector<std::wstring> ReadLogLines(const std::wstring& path);

// ---- the adaptor log's lines ------------------------------------------------
// A line is "YYYYMMDD HH:MM:SS.mmm L  tid Function: message": the level
// letter in column 22, the thread id in hex right-aligned in five places,
// then the writing function and its message.

struct LogEntry {
    wchar_t level = L'?';   // E, W, I, V ...
    DWORD thread = 0;       // the writing thread's id
    std::wstring function;  // "Class::Method"
    std::wstring text;      // the message, possibly empty
};

// The lines that have the layout above, in file order; others (such as the
// second half of a message that held a line feed) are left out.
std::vector<LogEntry> ParseLogLines(const std::vector<std::wstring>& lines);

// The lines written under function.
std::vector<LogEntry> EntriesOf(const std::vector<std::wstring>& lines, const std::wstring& function);
// The messages written under function, at any level or at one level.
std::vector<std::wstring> TextsOf(const std::vector<std::wstring>& lines, const std::wstring& function);
std::vector<std::wstring> TextsOf(const std::vector<std::wstring>& lines, const std::wstring& function, wchar_t level);
// The level of each line whose function and message are exactly these; its
// size is how often the line was written.
std::vector<wchar_t> LevelsOf(const std::vector<std::wstring>& lines, const std::wstring& function,
                              const std::wstring& text);
// The level of the first such line, 0 when there is none.
wchar_t LevelOf(const std::vector<std::wstring>& lines, const std::wstring& function, const std::wstring& text);
// How many lines function wrote with exactly text as the message.
size_t CountMessages(const std::vector<std::wstring>& lines, const std::wstring& function, const std::wstring& text);

// The same by "Function: message", the line as it reads after the thread id:
// the lines at level that say exactly entry, and the entries (any level)
// that start with prefix.
size_t CountEntries(const std::vector<std::wstring>& lines, wchar_t level, const std::wstring& entry);
std::vector<std::wstring> EntriesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& prefix);
size_t CountEntriesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& prefix);

// Reads the log at logPath until the line at level that says entry was
// written count times, for at most timeoutMs.
bool WaitForEntry(const std::wstring& logPath, wchar_t level, const std::wstring& entry, size_t count = 1,
                  DWORD timeoutMs = kWaitMs);

}  // namespace tarn_test

// Reading back text files that the C runtime wrote in text mode.
#pragma once

#include <string>
#include <vector>

namespace tarn_test {

// The bytes of a file, read with full sharing so that a file another stream
// still holds open can be read. Empty when the file cannot be read.
std::string ReadFileBytes(const std::wstring& path);

// The lines of a text file written in the C runtime's text mode: narrow text
// in the runtime's current locale, each line ended by CR LF. The returned
// lines carry no line end. A last line without CR LF (a cut write) is
// returned as it stands; a lone LF stays inside its line, so a test sees it.
std::vector<std::wstring> ReadLogLines(const std::wstring& path);

}  // namespace tarn_test

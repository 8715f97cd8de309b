#include "StubFixture.h"

#include <algorithm>
#include <cwctype>

#include "LogFile.h"

namespace tarn_test {

std::wstring ProcessBaseName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L'\\') + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towlower(c); });
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".exe") == 0) name.resize(name.size() - 4);
    return name;
}

void RemoveServerRegistration() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7}");
}

void StubTest::SetUp() {
    logDirValue_ =
        std::make_unique<ScopedRegistryValue>(ScopedRegistryValue::String(kQuillonKey, L"LOGDIR", logDir_.path()));
    levelValue_ = std::make_unique<ScopedRegistryValue>(ScopedRegistryValue::Missing(kTarnHostKey, L"ALogLevel"));
}

std::wstring StubTest::LogPath() const {
    // A program linked with TarnStub.dll logs as "<exe>-tarnstub-adaptor.log";
    // one that holds the stub's code itself as "<exe>-adaptor.log".
    const std::wstring throughDll = logDir_.Join(ProcessBaseName() + L"-tarnstub-adaptor.log");
    const std::wstring linkedIn = logDir_.Join(ProcessBaseName() + L"-adaptor.log");
    return GetFileAttributesW(linkedIn.c_str()) != INVALID_FILE_ATTRIBUTES ? linkedIn : throughDll;
}

std::vector<std::wstring> StubTest::LogLines() const { return ReadLogLines(LogPath()); }

size_t StubTest::CountLogLines(const std::wstring& text) const {
    const auto lines = LogLines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; }));
}

std::string StubTest::LogDump() const {
    std::string dump;
    for (const std::wstring& line : LogLines()) {
        dump.append(line.begin(), line.end());
        dump += '\n';
    }
    return dump;
}

}  // namespace tarn_test

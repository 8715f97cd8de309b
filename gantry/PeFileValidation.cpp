// IsPEFileValidExT: structural checks of a PE image on disk. The checks read
// only headers and table extents; they never map or run the image, so a
// hostile file costs at most a few small reads.
#include "gantry.h"
#include "GantryInternal.h"

#include "win/raii.h"

#include <cstddef>
#include <cstdint>

namespace gantry {
namespace {

// Random-access reads of a file opened for shared reading.
class ImageFile {
public:
    explicit ImageFile(const wchar_t* path) noexcept
        : handle_(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr)) {
        LARGE_INTEGER size{};
        // Directories cannot be opened this way; devices and pipes have no
        // meaningful size and are refused here.
        if (handle_ && ::GetFileType(handle_.get()) == FILE_TYPE_DISK && ::GetFileSizeEx(handle_.get(), &size)) {
            size_ = static_cast<std::uint64_t>(size.QuadPart);
            usable_ = true;
        }
    }

    bool Usable() const noexcept { return usable_; }
    bool Contains(std::uint64_t offset, std::uint64_t length) const noexcept {
        return offset <= size_ && length <= size_ - offset;
    }

    // Reads exactly length bytes at offset; false if any of them is missing.
    bool ReadAt(std::uint64_t offset, void* buffer, DWORD length) const noexcept {
        if (!Contains(offset, length)) return false;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ::ReadFile(handle_.get(), buffer, length, &read, &position) && read == length;
    }

private:
    win::UniqueHandle handle_;
    std::uint64_t size_ = 0;
    bool usable_ = false;
};

struct MachineKind {
    WORD machine;
    ULONG maskBit;
    WORD optionalMagic;
};

constexpr MachineKind kMachines[] = {
    {IMAGE_FILE_MACHINE_I386, GANTRY_PE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC},
    {0x01C4 /* ARMNT */, GANTRY_PE_MACHINE_ARMNT, IMAGE_NT_OPTIONAL_HDR32_MAGIC},
    {0xAA64 /* ARM64 */, GANTRY_PE_MACHINE_ARM64, IMAGE_NT_OPTIONAL_HDR64_MAGIC},
    {IMAGE_FILE_MACHINE_AMD64, GANTRY_PE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC},
};

const MachineKind* FindMachine(WORD machine) noexcept {
    for (const MachineKind& kind : kMachines)
        if (kind.machine == machine) return &kind;
    return nullptr;
}

// What the rest of the checks need from the headers.
struct ImageHeaders {
    std::uint64_t fileHeaderOffset = 0;
    IMAGE_FILE_HEADER file{};
    WORD magic = 0;
    IMAGE_DATA_DIRECTORY certificates{};
};

bool ReadNtSignatureAndFileHeader(const ImageFile& file, ImageHeaders& headers) noexcept {
    IMAGE_DOS_HEADER dos{};
    if (!file.ReadAt(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    if (dos.e_lfanew < static_cast<LONG>(sizeof dos) || (dos.e_lfanew % 4) != 0) return false;
    const std::uint64_t ntOffset = static_cast<std::uint64_t>(dos.e_lfanew);
    DWORD signature = 0;
    if (!file.ReadAt(ntOffset, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE) return false;
    headers.fileHeaderOffset = ntOffset + sizeof signature;
    return file.ReadAt(headers.fileHeaderOffset, &headers.file, sizeof headers.file);
}

// The optional header must be of the kind the machine uses, long enough for
// its fixed fields and the data directories it claims, and inside the file.
template <typename OptionalHeader>
bool ReadOptionalHeader(const ImageFile& file, ImageHeaders& headers, std::uint64_t offset) noexcept {
    OptionalHeader optional{};
    const std::size_t fixedPart = offsetof(OptionalHeader, DataDirectory);
    const std::size_t available = headers.file.SizeOfOptionalHeader;
    if (available < fixedPart) return false;
    // Directories past the sixteen the headers define are allowed but unread.
    const DWORD toRead = static_cast<DWORD>(available < sizeof optional ? available : sizeof optional);
    if (!file.ReadAt(offset, &optional, toRead)) return false;
    const std::uint64_t directoryCount = (available - fixedPart) / sizeof(IMAGE_DATA_DIRECTORY);
    if (optional.NumberOfRvaAndSizes > directoryCount) return false;
    if (optional.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_SECURITY &&
        toRead >= offsetof(OptionalHeader, DataDirectory) +
                      (IMAGE_DIRECTORY_ENTRY_SECURITY + 1) * sizeof(IMAGE_DATA_DIRECTORY))
        headers.certificates = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    return true;
}

bool ReadOptionalHeaderOfKind(const ImageFile& file, ImageHeaders& headers) noexcept {
    const std::uint64_t offset = headers.fileHeaderOffset + sizeof(IMAGE_FILE_HEADER);
    if (!file.Contains(offset, headers.file.SizeOfOptionalHeader)) return false;
    if (!file.ReadAt(offset, &headers.magic, sizeof headers.magic)) return false;
    switch (headers.magic) {
        case IMAGE_NT_OPTIONAL_HDR32_MAGIC: return ReadOptionalHeader<IMAGE_OPTIONAL_HEADER32>(file, headers, offset);
        case IMAGE_NT_OPTIONAL_HDR64_MAGIC: return ReadOptionalHeader<IMAGE_OPTIONAL_HEADER64>(file, headers, offset);
        default: return false;
    }
}

// Every section's raw data must be in the file: a copy cut short loses the
// end of the last section first.
bool SectionsInsideFile(const ImageFile& file, const ImageHeaders& headers) noexcept {
    const WORD count = headers.file.NumberOfSections;
    if (count == 0) return false;
    const std::uint64_t table =
        headers.fileHeaderOffset + sizeof(IMAGE_FILE_HEADER) + headers.file.SizeOfOptionalHeader;
    if (!file.Contains(table, static_cast<std::uint64_t>(count) * sizeof(IMAGE_SECTION_HEADER))) return false;
    for (WORD index = 0; index < count; ++index) {
        IMAGE_SECTION_HEADER section{};
        if (!file.ReadAt(table + index * sizeof section, &section, sizeof section)) return false;
        if (section.SizeOfRawData != 0 && !file.Contains(section.PointerToRawData, section.SizeOfRawData)) return false;
    }
    return true;
}

// The COFF symbol table is followed by its string table, whose first four
// bytes give the string table's size.
bool SymbolTableInsideFile(const ImageFile& file, const ImageHeaders& headers) noexcept {
    const std::uint64_t symbols = headers.file.PointerToSymbolTable;
    if (symbols == 0) return true;
    const std::uint64_t strings =
        symbols + static_cast<std::uint64_t>(headers.file.NumberOfSymbols) * IMAGE_SIZEOF_SYMBOL;
    DWORD stringTableSize = 0;
    if (!file.ReadAt(strings, &stringTableSize, sizeof stringTableSize)) return false;
    return file.Contains(strings, stringTableSize);
}

// The certificate table's "address" is a file offset, not an RVA.
bool CertificatesInsideFile(const ImageFile& file, const ImageHeaders& headers) noexcept {
    if (headers.certificates.Size == 0) return true;
    return file.Contains(headers.certificates.VirtualAddress, headers.certificates.Size);
}

bool FileKindAccepted(const IMAGE_FILE_HEADER& header, ULONG flags) noexcept {
    const bool executable = (header.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) != 0;
    const bool dll = (header.Characteristics & IMAGE_FILE_DLL) != 0;
    if ((flags & GANTRY_PE_REQUIRE_EXECUTABLE) && !executable) return false;
    if ((flags & GANTRY_PE_REQUIRE_DLL) && !dll) return false;
    if ((flags & GANTRY_PE_REQUIRE_EXE) && dll) return false;
    return true;
}

bool MachineAccepted(const ImageHeaders& headers, ULONG machines) noexcept {
    const MachineKind* kind = FindMachine(headers.file.Machine);
    return kind != nullptr && (machines & kind->maskBit) != 0 && kind->optionalMagic == headers.magic;
}

bool ArgumentsUsable(const wchar_t* path, ULONG flags, ULONG machines) noexcept {
    return path != nullptr && *path != L'\0' && (flags & ~GANTRY_PE_KNOWN_FLAGS) == 0 && machines != 0 &&
           (machines & ~GANTRY_PE_KNOWN_MACHINES) == 0;
}

}  // namespace

BOOL WINAPI IsPEFileValidExT(const wchar_t* path, ULONG flags, ULONG machines) {
    if (!ArgumentsUsable(path, flags, machines)) return FALSE;
    const ImageFile file(path);
    if (!file.Usable()) return FALSE;
    ImageHeaders headers;
    const bool valid = ReadNtSignatureAndFileHeader(file, headers) && ReadOptionalHeaderOfKind(file, headers) &&
                       MachineAccepted(headers, machines) && FileKindAccepted(headers.file, flags) &&
                       SectionsInsideFile(file, headers) && SymbolTableInsideFile(file, headers) &&
                       CertificatesInsideFile(file, headers);
    return valid ? TRUE : FALSE;
}

}  // namespace gantry

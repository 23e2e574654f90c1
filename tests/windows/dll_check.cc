// Checks the built Tagsmith.dll as Windows sees it, through the platform's own
// loader and version API:
//   dll_check.exe PATH\Tagsmith.dll x64|x86
// The image's machine type, its export directory (exactly GetFilterVersion and
// HttpFilterProc, by name), its imports (system DLLs only), its version
// resource, and, when the DLL has this program's bitness, what loading it and
// calling GetFilterVersion give.
#include <windows.h>
// httpfilt.h needs the types windows.h declares.
#include <httpfilt.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/windows/check.h"

namespace {

using tagsmith::wincheck::Checks;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items)
    text += (text.empty() ? "" : ",") + item;
  return text;
}

// The parts of a PE image mapped by the loader (sections at their RVAs) that
// the checks read. Handles both PE32 and PE32+ headers.
struct MappedImage {
  const BYTE* base = nullptr;
  WORD machine = 0;
  IMAGE_DATA_DIRECTORY exports{};
  IMAGE_DATA_DIRECTORY imports{};

  bool Parse(const BYTE* image) {
    base = image;
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    auto nt =
        reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    machine = nt->FileHeader.Machine;
    const IMAGE_DATA_DIRECTORY* directories;
    DWORD count;
    if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      auto nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
      directories = nt64->OptionalHeader.DataDirectory;
      count = nt64->OptionalHeader.NumberOfRvaAndSizes;
    } else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
      directories = nt->OptionalHeader.DataDirectory;
      count = nt->OptionalHeader.NumberOfRvaAndSizes;
    } else {
      return false;
    }
    if (count > IMAGE_DIRECTORY_ENTRY_EXPORT)
      exports = directories[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (count > IMAGE_DIRECTORY_ENTRY_IMPORT)
      imports = directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
    return true;
  }
  template <typename T>
  const T* At(DWORD rva) const {
    return reinterpret_cast<const T*>(base + rva);
  }
};

struct ExportTable {
  std::string dll_name;
  DWORD function_count = 0;
  std::vector<std::string> names;
  std::vector<DWORD> rvas;  // of each name's function
};

ExportTable ReadExports(const MappedImage& image) {
  ExportTable table;
  if (image.exports.VirtualAddress == 0) return table;
  auto directory =
      image.At<IMAGE_EXPORT_DIRECTORY>(image.exports.VirtualAddress);
  table.dll_name = image.At<char>(directory->Name);
  table.function_count = directory->NumberOfFunctions;
  auto names = image.At<DWORD>(directory->AddressOfNames);
  auto ordinals = image.At<WORD>(directory->AddressOfNameOrdinals);
  auto functions = image.At<DWORD>(directory->AddressOfFunctions);
  for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
    table.names.push_back(image.At<char>(names[i]));
    table.rvas.push_back(functions[ordinals[i]]);
  }
  return table;
}

std::vector<std::string> ReadImports(const MappedImage& image) {
  std::vector<std::string> dlls;
  if (image.imports.VirtualAddress == 0) return dlls;
  for (auto entry =
           image.At<IMAGE_IMPORT_DESCRIPTOR>(image.imports.VirtualAddress);
       entry->Name != 0; ++entry)
    dlls.push_back(image.At<char>(entry->Name));
  return dlls;
}

void CheckImage(Checks& checks, const char* path, WORD want_machine,
                ExportTable* exports) {
  // Mapped as an image for reading only: nothing runs, and a DLL of the
  // other bitness maps as well.
  HMODULE handle =
      LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!checks.Expect(handle != nullptr, "image maps",
                     "LoadLibraryEx error " + std::to_string(GetLastError())))
    return;
  // The handle of an image mapping has its low bits set.
  const BYTE* base = reinterpret_cast<const BYTE*>(
      reinterpret_cast<ULONG_PTR>(handle) & ~static_cast<ULONG_PTR>(3));
  MappedImage image;
  if (checks.Expect(image.Parse(base), "image has PE headers")) {
    checks.ExpectEqual(image.machine, want_machine, "image machine type");
    *exports = ReadExports(image);
    checks.ExpectEqual(Joined(exports->names),
                       "GetFilterVersion,HttpFilterProc", "exported names");
    checks.ExpectEqual(exports->function_count, 2,
                       "exported functions, by name or ordinal");
    checks.ExpectEqual(exports->dll_name, "Tagsmith.dll",
                       "export directory's DLL name");
    const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll"};
    std::vector<std::string> others;
    const std::vector<std::string> imports = ReadImports(image);
    for (const std::string& dll : imports)
      if (!system.count(Lower(dll))) others.push_back(dll);
    checks.Expect(!imports.empty() && others.empty(),
                  "imports only KERNEL32 and msvcrt",
                  "imports " + Joined(imports));
  }
  FreeLibrary(handle);
}

void CheckVersionResource(Checks& checks, const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (!checks.Expect(
          size != 0, "version resource present",
          "GetFileVersionInfoSize error " + std::to_string(GetLastError())))
    return;
  std::vector<BYTE> data(size);
  if (!checks.Expect(GetFileVersionInfoA(path, 0, size, data.data()) != 0,
                     "version resource readable"))
    return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (checks.Expect(VerQueryValueA(data.data(), root,
                                   reinterpret_cast<void**>(&fixed), &length) &&
                        length >= sizeof *fixed &&
                        fixed->dwSignature == 0xFEEF04BD,
                    "fixed version record")) {
    checks.ExpectEqual(fixed->dwFileVersionMS, 0x0001000E, "file version 1.14");
    checks.ExpectEqual(fixed->dwFileVersionLS, 0x00000000, "file version .0.0");
    checks.ExpectEqual(fixed->dwProductVersionMS, 0x0001000E,
                       "product version 1.14");
    checks.ExpectEqual(fixed->dwProductVersionLS, 0x00000000,
                       "product version .0.0");
    checks.ExpectEqual(fixed->dwFileType, VFT_DLL, "file type DLL");
  }
  // The string table named by the first language/code-page pair.
  WORD* translation = nullptr;
  char translation_key[] = "\\VarFileInfo\\Translation";
  if (!checks.Expect(
          VerQueryValueA(data.data(), translation_key,
                         reinterpret_cast<void**>(&translation), &length) &&
              length >= 2 * sizeof(WORD),
          "translation table"))
    return;
  char table[32];
  std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\",
                translation[0], translation[1]);
  const char* const strings[][2] = {
      {"FileDescription", "Tagsmith ISAPI Filter"},
      {"FileVersion", "1.14.0.0"},
      {"InternalName", "Tagsmith"},
      {"OriginalFilename", "Tagsmith.dll"},
      {"ProductName", "Tagsmith"},
      {"ProductVersion", "1.14.0.0"},
  };
  for (const auto& [name, want] : strings) {
    std::string key = std::string(table) + name;
    char* value = nullptr;
    const bool found = VerQueryValueA(
        data.data(), key.data(), reinterpret_cast<void**>(&value), &length);
    checks.ExpectEqual(found && value ? std::string(value) : "(absent)", want,
                       std::string("version string ") + name);
  }
}

void CheckLoaded(Checks& checks, const char* path, const ExportTable& exports) {
  // Loading runs DllMain for the process; it must accept.
  HMODULE module = LoadLibraryA(path);
  if (!checks.Expect(module != nullptr, "LoadLibrary (DllMain accepts attach)",
                     "error " + std::to_string(GetLastError())))
    return;
  const auto base = reinterpret_cast<ULONG_PTR>(module);
  for (std::size_t i = 0; i < exports.names.size(); ++i) {
    const auto found = reinterpret_cast<ULONG_PTR>(
        GetProcAddress(module, exports.names[i].c_str()));
    checks.Expect(found != 0 && found - base == exports.rvas[i],
                  "GetProcAddress finds " + exports.names[i] +
                      " at its exported address");
  }
  auto get_filter_version =
      reinterpret_cast<BOOL(WINAPI*)(HTTP_FILTER_VERSION*)>(
          reinterpret_cast<void*>(GetProcAddress(module, "GetFilterVersion")));
  if (get_filter_version) {
    // Filled with junk first, as a server's record may be.
    HTTP_FILTER_VERSION version;
    std::memset(&version, 0xCC, sizeof version);
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    checks.ExpectEqual(get_filter_version(&version), TRUE,
                       "GetFilterVersion returns TRUE");
    checks.ExpectEqual(version.dwFilterVersion, 0x00060000,
                       "registered revision");
    checks.ExpectEqual(version.dwFlags, 0x000204C3, "registered flags");
    const char* end = static_cast<const char*>(
        std::memchr(version.lpszFilterDesc, '\0', SF_MAX_FILTER_DESC_LEN));
    checks.ExpectEqual(
        end ? std::string(version.lpszFilterDesc, end - version.lpszFilterDesc)
            : "(no terminating NUL)",
        "Tagsmith Version 1.13", "registered description");
  }
  checks.Expect(FreeLibrary(module) != 0,
                "FreeLibrary (DllMain accepts detach)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 ||
      (std::strcmp(argv[2], "x64") && std::strcmp(argv[2], "x86"))) {
    std::fprintf(stderr, "usage: dll_check PATH\\Tagsmith.dll x64|x86\n");
    return 2;
  }
  const char* path = argv[1];
  const bool x64 = std::strcmp(argv[2], "x64") == 0;
  Checks checks;
  ExportTable exports;
  CheckImage(checks, path,
             x64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386,
             &exports);
  CheckVersionResource(checks, path);
  if (x64 == (sizeof(void*) == 8)) CheckLoaded(checks, path, exports);
  return checks.Finish();
}

// vantrel-manifest: checks and writes the release manifest (release.ini).
//
//   vantrel-manifest check RELEASE.INI [--files DIR]
//   vantrel-manifest write --win7 FILE --windows FILE OUT.INI
//
// Both commands judge a manifest with the installer's own code (the reads,
// rules, order and messages of LoadReleaseManifest, the CNG digest of
// HashFileHex): a manifest that passes here is one the installer accepts on
// that channel, and a refusal prints the very text the installer would show.
// Exit codes: 0 every section passes, 1 something is refused, 2 usage or a
// file that can't be read or written. No DLL search restriction here, unlike
// the installer: this program imports only KnownDLLs, and the installer's code
// loads bcrypt by full path from the system folder.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "download/sha256.h"
#include "support/failure.h"
#include "support/text_format.h"
#include "support/win_handles.h"
#include "workflow/release_manifest.h"

namespace {

using vantrel::Failure;
using vantrel::FileHandle;
using vantrel::kManifestSizeLimit;
using vantrel::ToDecimal;

// The installer's channels, in the order they are reported.
const wchar_t* const kSections[] = {vantrel::ManifestSection(vantrel::SystemMode::Windows7),
                                    vantrel::ManifestSection(vantrel::SystemMode::Windows10)};
constexpr int kPassed = 0, kRefused = 1, kUsage = 2;

// Console or not: a console takes UTF-16 as is, anything else (a pipe, a file,
// Wine's unix-side redirection) gets UTF-8 bytes, so the Chinese messages
// survive both.
void WriteLine(HANDLE handle, const std::wstring& text) {
    const std::wstring line = text + L"\r\n";
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void Out(const std::wstring& text) { WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), text); }
void Err(const std::wstring& text) { WriteLine(GetStdHandle(STD_ERROR_HANDLE), text); }

int Usage() {
    Err(L"usage: vantrel-manifest check RELEASE.INI [--files DIR]");
    Err(L"       vantrel-manifest write --win7 FILE --windows FILE OUT.INI");
    return kUsage;
}

// The profile API looks a name without a folder up in the Windows folder, not
// in the current one, so every path is made absolute before it is used.
std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/:");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

struct FileFacts {
    std::uint64_t size = 0;
    std::wstring sha256;
    std::wstring error;  // why it could not be read; empty when it was
};

FileFacts Inspect(const std::wstring& path) {
    FileFacts facts;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) {
        const DWORD error = GetLastError();
        facts.error = (file.Valid() ? L"cannot read the size of " : L"cannot open ") + path + L" (error " +
                      ToDecimal(error) + L")";
        return facts;
    }
    facts.size = static_cast<std::uint64_t>(size.QuadPart);
    try {
        vantrel::Sha256Context context;
        facts.sha256 = vantrel::HashFileHex(context, file.Get());
    } catch (const Failure& failure) {
        facts.error = path + L": " + failure.message;
    }
    return facts;
}

// Problems with release.ini as a whole, which the reader itself would not
// see or would see differently on Windows than under another implementation.
bool CheckManifestFile(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return true;  // the sections report the missing file in the installer's words
    LARGE_INTEGER size{};
    unsigned char head[3] = {};
    DWORD read = 0;
    if (!GetFileSizeEx(file.Get(), &size) || !ReadFile(file.Get(), head, sizeof head, &read, nullptr)) return true;

    bool passed = true;
    const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
    if (bytes == 0 || bytes > kManifestSizeLimit) {
        Out(path + L": refused: " + ToDecimal(bytes) + L" bytes; the installer downloads release.ini only with 1 to " +
            ToDecimal(kManifestSizeLimit) + L" bytes");
        passed = false;
    }
    // Windows' profile reader recognises only the UTF-16 LE byte-order mark
    // and reads a UTF-8 one as part of the first line, so a section header on
    // that line is never found. Wine's reader skips it, so under Wine the
    // sections alone would pass. Editors add this mark silently.
    if (read == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
        Out(path + L": refused: starts with a UTF-8 byte-order mark, which Windows reads as part of the "
                   L"first line (a section header there is lost); save it as ASCII or UTF-16 LE with its mark");
        passed = false;
    }
    return passed;
}

// For a section's file name: the local copy to compare with, or an empty
// string when only the manifest is checked.
using LocalFile = std::function<std::wstring(const std::wstring& section, const std::wstring& fileName)>;

int Check(const std::wstring& manifestArgument, const LocalFile& localFile) {
    const std::wstring manifest = FullPath(manifestArgument);
    bool passed = CheckManifestFile(manifest);
    for (const wchar_t* section : kSections) {
        const std::wstring label = std::wstring(section) + L": ";
        vantrel::ReleaseManifest values;
        try {
            values = vantrel::LoadReleaseManifest(manifest, section);
        } catch (const Failure& failure) {
            Out(label + L"refused: " + failure.message);
            passed = false;
            continue;
        }
        std::wstring line = label + L"accepted: " + values.file + L", " + ToDecimal(values.size) + L" bytes, sha256 " +
                            values.sha256;
        const std::wstring local = localFile ? localFile(section, values.file) : std::wstring();
        if (!local.empty()) {
            const FileFacts facts = Inspect(local);
            std::wstring problem;
            if (!facts.error.empty()) {
                problem = facts.error;
            } else if (facts.size != values.size) {
                problem = local + L" is " + ToDecimal(facts.size) + L" bytes, the manifest says " +
                          ToDecimal(values.size);
            } else if (facts.sha256 != values.sha256) {  // exact, as the installer compares
                problem = local + L" has sha256 " + facts.sha256 + L", the manifest says " + values.sha256;
            }
            if (!problem.empty()) {
                Out(label + L"refused: " + problem);
                passed = false;
                continue;
            }
            line += L"; " + local + L" matches";
        }
        Out(line);
    }
    return passed ? kPassed : kRefused;
}

struct Channel {
    const wchar_t* section;
    std::wstring path;
    std::wstring name;
    FileFacts facts;
};

// 0 on success, otherwise the system error code.
DWORD WriteAscii(const std::wstring& path, const std::string& text) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.Valid()) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return GetLastError();
    return written == text.size() ? 0 : ERROR_WRITE_FAULT;
}

// Every value has passed the installer's rules by now, so it is plain ASCII.
std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

int Write(const std::wstring& win7, const std::wstring& windows, const std::wstring& outArgument) {
    std::vector<Channel> channels = {{L"win7", FullPath(win7), {}, {}}, {L"windows", FullPath(windows), {}, {}}};
    bool passed = true;
    for (Channel& channel : channels) {
        channel.name = BaseName(channel.path);
        channel.facts = Inspect(channel.path);
        if (!channel.facts.error.empty()) {
            Err(std::wstring(channel.section) + L": " + channel.facts.error);
            return kUsage;
        }
        // The installer's own rules, with its own messages, before anything
        // is written: a name it would refuse never reaches the server.
        try {
            vantrel::ValidateManifestValues(channel.name, channel.facts.sha256, ToDecimal(channel.facts.size));
        } catch (const Failure& failure) {
            Out(std::wstring(channel.section) + L": refused: " + failure.message + L" (" + channel.name + L", " +
                ToDecimal(channel.facts.size) + L" bytes)");
            passed = false;
        }
    }
    // Both channels are served from one folder: one name can't stand for two
    // different files.
    if (channels[0].name == channels[1].name && channels[0].facts.sha256 != channels[1].facts.sha256) {
        Out(L"windows: refused: win7 and windows both name " + channels[0].name + L" but the files differ");
        passed = false;
    }
    if (!passed) return kRefused;

    std::string text;
    for (const Channel& channel : channels) {
        text += "[" + Narrow(channel.section) + "]\r\nfile=" + Narrow(channel.name) + "\r\nsha256=" +
                Narrow(channel.facts.sha256) + "\r\nsize=" + Narrow(ToDecimal(channel.facts.size)) + "\r\n";
    }
    const std::wstring out = FullPath(outArgument);
    if (const DWORD error = WriteAscii(out, text); error != 0) {
        Err(L"cannot write " + out + L" (error " + ToDecimal(error) + L")");
        return kUsage;
    }
    Out(L"wrote " + out);
    // Read back through the installer's reader, against the files just hashed.
    return Check(out, [&](const std::wstring& section, const std::wstring&) {
        return section == L"win7" ? channels[0].path : channels[1].path;
    });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();

    if (args[0] == L"check") {
        if (args.size() == 2) return Check(args[1], nullptr);
        if (args.size() == 4 && args[2] == L"--files") {
            std::wstring folder = FullPath(args[3]);
            if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
            return Check(args[1], [&](const std::wstring&, const std::wstring& name) { return folder + name; });
        }
        return Usage();
    }
    if (args[0] == L"write" && args.size() == 6) {
        std::wstring win7, windows, out;  // the two options and the output, in any order
        for (std::size_t i = 1; i < args.size(); ++i) {
            const bool option = (args[i] == L"--win7" || args[i] == L"--windows") && i + 1 < args.size();
            std::wstring& value = !option ? out : args[i] == L"--win7" ? win7 : windows;
            if (!value.empty()) return Usage();
            value = args[option ? ++i : i];
        }
        if (win7.empty() || windows.empty() || out.empty()) return Usage();
        return Write(win7, windows, out);
    }
    return Usage();
}

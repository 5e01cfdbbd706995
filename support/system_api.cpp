#include "support/system_api.h"

#include <atomic>

#include "support/failure.h"

namespace vantrel {
namespace {

constexpr std::size_t kMaxDllNameLength = 64;

// Loaded modules stay in the process until it ends: the tables point into
// them, and they are used again by every later run from the window.
[[noreturn]] void ThrowLoadFailure(const char* dllName) {
    const DWORD code = GetLastError();
    throw Failure{WithErrorCode(SystemLibraryFailureText(dllName), code)};
}

std::atomic<const char*> simulatedUnavailable{nullptr};

void ThrowIfSimulatedUnavailable(const char* dllName) {
    const char* name = simulatedUnavailable.load();
    if (name == nullptr || lstrcmpiA(name, dllName) != 0) return;
    SetLastError(ERROR_MOD_NOT_FOUND);
    ThrowLoadFailure(dllName);
}

// Set once a table is complete, for the Loaded* functions.
std::atomic<const BCryptApi*> loadedBCrypt{nullptr};
std::atomic<const Crypt32Api*> loadedCrypt32{nullptr};
std::atomic<const WinHttpApi*> loadedWinHttp{nullptr};

template <typename Function>
void Resolve(HMODULE module, const char* dllName, const char* functionName, Function& slot) {
    const FARPROC address = GetProcAddress(module, functionName);
    if (address == nullptr) ThrowLoadFailure(dllName);
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

HMODULE LoadOrThrow(const char* dllName) {
    const HMODULE module = LoadSystemLibrary(dllName);
    if (module == nullptr) ThrowLoadFailure(dllName);
    return module;
}

}  // namespace

#define VANTREL_RESOLVE(table, function) Resolve(module, dll, #function, table.function)

std::wstring SystemLibraryPath(const std::wstring& systemFolder, const char* dllName) {
    if (dllName == nullptr || systemFolder.empty()) return std::wstring();
    std::wstring name;
    for (const char* c = dllName; *c != '\0'; ++c) {
        const unsigned char unit = static_cast<unsigned char>(*c);
        if (unit < 0x20 || unit > 0x7E || *c == '\\' || *c == '/' || *c == ':') return std::wstring();
        if (name.size() == kMaxDllNameLength) return std::wstring();
        name += static_cast<wchar_t>(unit);
    }
    if (name.empty() || name == L"." || name == L"..") return std::wstring();
    std::wstring path = systemFolder;
    if (path.back() != L'\\') path += L'\\';
    return path + name;
}

HMODULE LoadSystemLibrary(const char* dllName) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::wstring path = SystemLibraryPath(folder, dllName);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    // The altered search path makes the DLL's own imports come from its
    // folder rather than from the application folder.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

std::wstring SystemLibraryFailureText(const char* dllName) {
    std::wstring name;
    for (const char* c = dllName; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
    return L"无法加载系统组件 " + name;
}

const BCryptApi& BCrypt() {
    ThrowIfSimulatedUnavailable("bcrypt.dll");
    static const BCryptApi api = [] {
        const char* dll = "bcrypt.dll";
        const HMODULE module = LoadOrThrow(dll);
        BCryptApi table{};
        VANTREL_RESOLVE(table, BCryptOpenAlgorithmProvider);
        VANTREL_RESOLVE(table, BCryptCloseAlgorithmProvider);
        VANTREL_RESOLVE(table, BCryptCreateHash);
        VANTREL_RESOLVE(table, BCryptHashData);
        VANTREL_RESOLVE(table, BCryptFinishHash);
        VANTREL_RESOLVE(table, BCryptDestroyHash);
        VANTREL_RESOLVE(table, BCryptGenRandom);
        return table;
    }();
    loadedBCrypt.store(&api);
    return api;
}

const Crypt32Api& Crypt32() {
    ThrowIfSimulatedUnavailable("crypt32.dll");
    static const Crypt32Api api = [] {
        const char* dll = "crypt32.dll";
        const HMODULE module = LoadOrThrow(dll);
        Crypt32Api table{};
        VANTREL_RESOLVE(table, CertOpenStore);
        VANTREL_RESOLVE(table, CertCloseStore);
        VANTREL_RESOLVE(table, CertCreateCertificateContext);
        VANTREL_RESOLVE(table, CertFreeCertificateContext);
        VANTREL_RESOLVE(table, CertEnumCertificatesInStore);
        VANTREL_RESOLVE(table, CertFindCertificateInStore);
        VANTREL_RESOLVE(table, CertAddCertificateContextToStore);
        VANTREL_RESOLVE(table, CertVerifyTimeValidity);
        VANTREL_RESOLVE(table, CryptHashCertificate2);
        return table;
    }();
    loadedCrypt32.store(&api);
    return api;
}

const WinHttpApi& WinHttp() {
    ThrowIfSimulatedUnavailable("winhttp.dll");
    static const WinHttpApi api = [] {
        const char* dll = "winhttp.dll";
        const HMODULE module = LoadOrThrow(dll);
        WinHttpApi table{};
        VANTREL_RESOLVE(table, WinHttpOpen);
        VANTREL_RESOLVE(table, WinHttpConnect);
        VANTREL_RESOLVE(table, WinHttpOpenRequest);
        VANTREL_RESOLVE(table, WinHttpSetOption);
        VANTREL_RESOLVE(table, WinHttpSetTimeouts);
        VANTREL_RESOLVE(table, WinHttpSendRequest);
        VANTREL_RESOLVE(table, WinHttpReceiveResponse);
        VANTREL_RESOLVE(table, WinHttpQueryHeaders);
        VANTREL_RESOLVE(table, WinHttpQueryDataAvailable);
        VANTREL_RESOLVE(table, WinHttpReadData);
        VANTREL_RESOLVE(table, WinHttpCloseHandle);
        VANTREL_RESOLVE(table, WinHttpGetIEProxyConfigForCurrentUser);
        VANTREL_RESOLVE(table, WinHttpGetProxyForUrl);
        return table;
    }();
    loadedWinHttp.store(&api);
    return api;
}

const WinTrustApi& WinTrust() {
    ThrowIfSimulatedUnavailable("wintrust.dll");
    static const WinTrustApi api = [] {
        const char* dll = "wintrust.dll";
        const HMODULE module = LoadOrThrow(dll);
        WinTrustApi table{};
        VANTREL_RESOLVE(table, WinVerifyTrust);
        return table;
    }();
    return api;
}

const Shell32Api& Shell32() {
    static const Shell32Api api = [] {
        const char* dll = "shell32.dll";
        const HMODULE module = LoadOrThrow(dll);
        Shell32Api table{};
        VANTREL_RESOLVE(table, ShellExecuteExW);
        return table;
    }();
    return api;
}

const ComCtl32Api& ComCtl32() {
    ThrowIfSimulatedUnavailable("comctl32.dll");
    static const ComCtl32Api api = [] {
        const char* dll = "comctl32.dll";
        // By name: the activation context of the manifest redirects it to
        // version 6 before any folder is searched, and the entry point has
        // already restricted the search for everything else.
        const HMODULE module = LoadLibraryW(L"comctl32.dll");
        if (module == nullptr) ThrowLoadFailure(dll);
        ComCtl32Api table{};
        VANTREL_RESOLVE(table, InitCommonControlsEx);
        return table;
    }();
    return api;
}

#undef VANTREL_RESOLVE

const BCryptApi* LoadedBCrypt() noexcept { return loadedBCrypt.load(); }
const Crypt32Api* LoadedCrypt32() noexcept { return loadedCrypt32.load(); }
const WinHttpApi* LoadedWinHttp() noexcept { return loadedWinHttp.load(); }

void SimulateUnavailableLibrary(const char* dllName) noexcept { simulatedUnavailable.store(dllName); }

}  // namespace vantrel

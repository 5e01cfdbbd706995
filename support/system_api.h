// The functions this program uses from system DLLs that are not among
// Windows' KnownDLLs. None of them is imported: an ordinary import would be
// loaded before the entry point runs, searched for first in the exe's own
// folder (usually Downloads, where a DLL named like a system library can be
// waiting). Each DLL is loaded on first use, after the entry point has
// restricted the DLL search, and every function is resolved by name into a
// typed table. A DLL or function that cannot be had is a Failure with a
// message, never a call through an empty pointer.
//
// The same mechanism serves both widths; nothing here depends on the linker's
// delay-load support, whose i686 output once left import slots empty.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

#include <string>

namespace vantrel {

// The full path of `dllName` in `systemFolder`, or an empty string when the
// name is not a bare file name (empty, a path, a drive, not printable ASCII,
// too long).
std::wstring SystemLibraryPath(const std::wstring& systemFolder, const char* dllName);

// Loads a bare DLL name from the system folder by full path, its own imports
// resolved from there too; nullptr if the name is not a bare file name or the
// load fails (GetLastError tells why).
HMODULE LoadSystemLibrary(const char* dllName);

// The message of a DLL or function that could not be had, without the
// error-code suffix.
std::wstring SystemLibraryFailureText(const char* dllName);

struct BCryptApi {
    decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
    decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;
    decltype(&::BCryptCreateHash) BCryptCreateHash;
    decltype(&::BCryptHashData) BCryptHashData;
    decltype(&::BCryptFinishHash) BCryptFinishHash;
    decltype(&::BCryptDestroyHash) BCryptDestroyHash;
    decltype(&::BCryptGenRandom) BCryptGenRandom;
};

struct Crypt32Api {
    decltype(&::CertOpenStore) CertOpenStore;
    decltype(&::CertCloseStore) CertCloseStore;
    decltype(&::CertCreateCertificateContext) CertCreateCertificateContext;
    decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
    decltype(&::CertEnumCertificatesInStore) CertEnumCertificatesInStore;
    decltype(&::CertFindCertificateInStore) CertFindCertificateInStore;
    decltype(&::CertAddCertificateContextToStore) CertAddCertificateContextToStore;
    decltype(&::CertVerifyTimeValidity) CertVerifyTimeValidity;
    decltype(&::CryptHashCertificate2) CryptHashCertificate2;
};

struct WinHttpApi {
    decltype(&::WinHttpOpen) WinHttpOpen;
    decltype(&::WinHttpConnect) WinHttpConnect;
    decltype(&::WinHttpOpenRequest) WinHttpOpenRequest;
    decltype(&::WinHttpSetOption) WinHttpSetOption;
    decltype(&::WinHttpSetTimeouts) WinHttpSetTimeouts;
    decltype(&::WinHttpSendRequest) WinHttpSendRequest;
    decltype(&::WinHttpReceiveResponse) WinHttpReceiveResponse;
    decltype(&::WinHttpQueryHeaders) WinHttpQueryHeaders;
    decltype(&::WinHttpQueryDataAvailable) WinHttpQueryDataAvailable;
    decltype(&::WinHttpReadData) WinHttpReadData;
    decltype(&::WinHttpCloseHandle) WinHttpCloseHandle;
    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) WinHttpGetIEProxyConfigForCurrentUser;
    decltype(&::WinHttpGetProxyForUrl) WinHttpGetProxyForUrl;
};

struct WinTrustApi {
    decltype(&::WinVerifyTrust) WinVerifyTrust;
};

struct Shell32Api {
    decltype(&::ShellExecuteExW) ShellExecuteExW;
};

struct ComCtl32Api {
    decltype(&::InitCommonControlsEx) InitCommonControlsEx;
};

// Each loads its DLL and resolves every function on the first call; a failed
// attempt throws Failure and is tried again by the next call. Safe from any
// thread. Since they throw, a noexcept function that calls one (or calls
// anything that does) must catch and give its own answer.
const BCryptApi& BCrypt();
const Crypt32Api& Crypt32();
const WinHttpApi& WinHttp();
const WinTrustApi& WinTrust();
// shell32.dll is one of the KnownDLLs and safe to import, but loading it
// (and what it pulls in) is start-up time for a window that may never start
// a program; it is loaded when the first child process starts.
const Shell32Api& Shell32();
// comctl32.dll is loaded by name, not by path: the program's manifest binds
// that name to the side-by-side version 6, and a path would bypass it.
const ComCtl32Api& ComCtl32();

// The table if an earlier call loaded it, else null; never loads, never
// throws. For the handle owners' Close: a handle exists only once its table
// did, so releasing one never has to load anything or fail.
const BCryptApi* LoadedBCrypt() noexcept;
const Crypt32Api* LoadedCrypt32() noexcept;
const WinHttpApi* LoadedWinHttp() noexcept;

// For the unit tests: from now on the accessor of `dllName` ("crypt32.dll")
// fails as if that DLL could not be loaded (error 126), even when it already
// is; nullptr makes every table available again. The Loaded* functions are
// not affected, so what was opened before is still released.
void SimulateUnavailableLibrary(const char* dllName) noexcept;

}  // namespace vantrel

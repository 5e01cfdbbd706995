#include "prereq/root_certificate.h"

#include <string>
#include <utility>

#include "app/installer_app.h"
#include "support/system_api.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/win_handles.h"

namespace vantrel {

// cb3ccbb76031e5e0138f8dd39a23f9de47ffc35e43c1144cea27d46a5ab1cb5f
const std::array<std::uint8_t, 32> kPinnedFingerprint = {
    0xcb, 0x3c, 0xcb, 0xb7, 0x60, 0x31, 0xe5, 0xe0, 0x13, 0x8f, 0x8d, 0xd3, 0x9a, 0x23, 0xf9, 0xde,
    0x47, 0xff, 0xc3, 0x5e, 0x43, 0xc1, 0x14, 0x4c, 0xea, 0x27, 0xd4, 0x6a, 0x5a, 0xb1, 0xcb, 0x5f,
};

namespace {

constexpr int kEmbeddedCertificateResource = 301;

// Local machine system stores only: the root has to be trusted machine-wide,
// so a copy that only the current user trusts doesn't count.
constexpr DWORD kRootSearchFlags =
    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;
constexpr DWORD kDisallowedFlags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG;
constexpr DWORD kRootWriteFlags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG;
static_assert(kRootSearchFlags == 0x2C000, "ROOT search flags");
static_assert(kDisallowedFlags == 0x28000, "Disallowed flags");
static_assert(kRootWriteFlags == 0x24000, "ROOT write flags");

constexpr std::uint32_t kNotFound = static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND);
constexpr std::uint32_t kAlreadyExists = static_cast<std::uint32_t>(CRYPT_E_EXISTS);

constexpr const wchar_t* kQuestionText =
    L"旧系统缺少 DigiCert Global Root G2 根证书，无法验证当前下载站证书。\n"
    L"是否安装内置且已核验指纹的 DigiCert 官方证书？\n"
    L"安装会增加本机所有用户信任的证书颁发机构，并请求管理员授权。";
constexpr const wchar_t* kQuestionCaption = L"安装兼容证书";
constexpr DWORD kModulePathCapacity = 32768;

HCERTSTORE OpenLocalMachineStore(const wchar_t* name, DWORD flags) noexcept {
    return Crypt32().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name);
}

}  // namespace

bool MatchesPinnedFingerprint(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0 || length > MAXDWORD) return false;
    std::array<std::uint8_t, 32> digest{};
    DWORD digestLength = static_cast<DWORD>(digest.size());
    if (!Crypt32().CryptHashCertificate2(L"SHA256", 0, nullptr, bytes, static_cast<DWORD>(length),
                               digest.data(), &digestLength)) {
        return false;
    }
    return digestLength == digest.size() && digest == kPinnedFingerprint;
}

PCCERT_CONTEXT LoadEmbeddedCertificate() {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource =
        FindResourceW(module, MAKEINTRESOURCEW(kEmbeddedCertificateResource), RT_RCDATA);
    if (resource == nullptr) return nullptr;
    const HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD length = SizeofResource(module, resource);
    if (bytes == nullptr) return nullptr;
    // A changed resource is never used, even if it decodes: the pin is the
    // only thing that makes this certificate trustworthy.
    if (!MatchesPinnedFingerprint(static_cast<const std::uint8_t*>(bytes), length)) return nullptr;
    return Crypt32().CertCreateCertificateContext(X509_ASN_ENCODING, static_cast<const BYTE*>(bytes), length);
}

RootCertificateState EnumerationEndState(std::uint32_t lastError) {
    return lastError == kNotFound ? RootCertificateState::Missing
                                  : RootCertificateState::Unreadable;
}

RootCertificateState QueryRootCertificate() {
    const CertificateStore store(OpenLocalMachineStore(L"ROOT", kRootSearchFlags));
    if (!store) return RootCertificateState::Unreadable;
    // Declared after the store so it is freed before the store is closed. The
    // enumeration frees the context it is handed, so ownership moves in and
    // out of `current` on each turn.
    CertificateContext current;
    for (;;) {
        const PCCERT_CONTEXT next = Crypt32().CertEnumCertificatesInStore(store.Get(), current.Release());
        if (next == nullptr) return EnumerationEndState(GetLastError());
        current.Reset(next);
        // By digest only: a certificate with the same name but other bytes
        // is not the pinned root.
        if (next->pbCertEncoded == nullptr || next->cbCertEncoded == 0) continue;
        if (MatchesPinnedFingerprint(next->pbCertEncoded, next->cbCertEncoded)) {
            return RootCertificateState::Present;
        }
    }
}

bool IsWithinValidity(PCCERT_CONTEXT certificate, const FILETIME* when) {
    FILETIME time{};
    if (when != nullptr) time = *when;
    return Crypt32().CertVerifyTimeValidity(when != nullptr ? &time : nullptr, certificate->pCertInfo) == 0;
}

std::optional<int> CertificateHelperExitCode(const CertificateHelperFacts& facts) {
    if (!facts.initialState) return std::nullopt;
    // Unreadable is not a reason to stop: the writable open below decides.
    if (*facts.initialState == RootCertificateState::Present) return 0;

    if (!facts.embeddedLoaded) return std::nullopt;
    if (!*facts.embeddedLoaded) return 2;

    // A certificate the machine's owner has distrusted is never re-trusted,
    // and when that can't be ruled out it isn't either.
    if (!facts.disallowedOpened) return std::nullopt;
    if (!*facts.disallowedOpened) return 3;
    if (!facts.disallowedSearch) return std::nullopt;
    if (facts.disallowedSearch->found || facts.disallowedSearch->lastError != kNotFound) return 3;

    if (!facts.rootOpenedForWriting) return std::nullopt;
    if (!*facts.rootOpenedForWriting) return 4;

    if (!facts.embeddedReloaded) return std::nullopt;
    if (!*facts.embeddedReloaded) return 5;

    if (!facts.add) return std::nullopt;
    // Another process may have added it between our search and our add; the
    // fresh search below is what finally counts.
    const bool added = facts.add->withinValidity &&
                       (facts.add->succeeded || facts.add->lastError == kAlreadyExists);
    if (!added) return 5;

    if (!facts.finalState) return std::nullopt;
    return *facts.finalState == RootCertificateState::Present ? 0 : 5;
}

int RunCertificateHelper() noexcept {
    CertificateHelperFacts facts;
    facts.initialState = QueryRootCertificate();
    if (const auto code = CertificateHelperExitCode(facts)) return *code;

    {
        CertificateContext embedded(LoadEmbeddedCertificate());
        facts.embeddedLoaded = embedded.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const CertificateStore disallowed(OpenLocalMachineStore(L"Disallowed", kDisallowedFlags));
        facts.disallowedOpened = disallowed.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const PCCERT_CONTEXT match = Crypt32().CertFindCertificateInStore(
            disallowed.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, embedded.Get(), nullptr);
        const DWORD searchError = GetLastError();
        const CertificateContext found(match);
        embedded.Reset();
        facts.disallowedSearch = CertificateHelperFacts::DisallowedSearch{match != nullptr, searchError};
        // `found` is freed, then the Disallowed store closed, on either way out.
        if (const auto code = CertificateHelperExitCode(facts)) return *code;
    }

    {
        const CertificateStore root(OpenLocalMachineStore(L"ROOT", kRootWriteFlags));
        facts.rootOpenedForWriting = root.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        const CertificateContext embedded(LoadEmbeddedCertificate());
        facts.embeddedReloaded = embedded.Valid();
        if (const auto code = CertificateHelperExitCode(facts)) return *code;

        CertificateHelperFacts::AddAttempt add;
        add.withinValidity = IsWithinValidity(embedded.Get(), nullptr);
        if (add.withinValidity) {
            add.succeeded = Crypt32().CertAddCertificateContextToStore(root.Get(), embedded.Get(),
                                                             CERT_STORE_ADD_NEW, nullptr) != FALSE;
            // A successful call may leave a stale value behind: read it only
            // on failure.
            if (!add.succeeded) add.lastError = GetLastError();
        }
        facts.add = add;
        // The context is freed and the store closed before the fresh search,
        // so the search sees what was committed.
        if (const auto code = CertificateHelperExitCode(facts)) return *code;
    }

    facts.finalState = QueryRootCertificate();
    return CertificateHelperExitCode(facts).value_or(5);
}

bool EnsureRootCertificate(InstallerApp& app) {
    // Windows 10/11 ship the root; nothing is opened or asked there.
    if (app.systemMode != kWindows7) return true;

    switch (QueryRootCertificate()) {
        case RootCertificateState::Present:
            return true;
        case RootCertificateState::Unreadable:
            throw Failure{L"无法读取系统根证书库，请检查系统权限。"};
        case RootCertificateState::Missing:
            break;
    }

    const int answer = MessageBoxW(app.window, kQuestionText, kQuestionCaption,
                                   MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer != IDYES) return false;

    std::wstring path(kModulePathCapacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), kModulePathCapacity);
    // kModulePathCapacity itself means the path was cut short.
    CheckSystemCall(length >= 1 && length < kModulePathCapacity, L"无法定位证书助手");
    path.resize(length);

    // Not cancellable, and no cancel can be pending here: this runs on the
    // window thread before a run starts, while the window isn't busy, so a
    // close request is handled as closing, never recorded as a cancel; and
    // while the elevated copy runs this thread waits and dispatches nothing.
    // The flag still holds the previous run's value until the next run clears
    // it, so looking at it here would refuse every start after a cancelled run.
    LaunchRequest request;
    request.owner = app.window;
    request.verb = L"runas";
    request.file = std::move(path);
    // Exactly this text, so the copy's command line selects the helper mode.
    request.parameters = L"--certificate";
    request.directory = nullptr;
    request.show = SW_HIDE;
    KernelHandle process = StartChildProcess(request, L"证书安装未获授权或助手启动失败");
    const std::uint32_t exitCode = WaitForExitCode(std::move(process));

    // The exit code alone is not trusted: the store must show the root now.
    if (exitCode != 0 || QueryRootCertificate() != RootCertificateState::Present) {
        throw Failure{L"证书安装未完成，请检查管理员权限后重试。"};
    }
    return true;
}

}  // namespace vantrel

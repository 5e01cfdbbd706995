#include "download/user_proxy.h"

#include "support/scoped_handle.h"
#include "support/system_api.h"
#include "support/text_format.h"

namespace vantrel {

namespace {

// The strings WinHTTP hands over for the caller to release.
struct GlobalStringTraits {
    using Type = LPWSTR;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type text) noexcept { GlobalFree(text); }
};
using GlobalString = ScopedHandle<GlobalStringTraits>;

std::wstring Text(const GlobalString& text) { return text.Valid() ? std::wstring(text.Get()) : std::wstring(); }

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// '*' matches any run of characters, every other character itself.
bool Matches(const std::wstring& pattern, const std::wstring& text) {
    std::size_t p = 0, t = 0;
    std::size_t star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

bool EntryMatches(std::wstring entry, const std::wstring& host, INTERNET_PORT port) {
    if (Matches(L"<local>", entry)) return host.find(L'.') == std::wstring::npos;
    const std::size_t scheme = entry.find(L"://");
    if (scheme != std::wstring::npos) {
        if (!Matches(L"https", entry.substr(0, scheme))) return false;
        entry.erase(0, scheme + 3);
    }
    return Matches(entry, host) || Matches(entry, host + L":" + ToDecimal(port));
}

}  // namespace

bool IsOnBypassList(const std::wstring& list, const std::wstring& host, INTERNET_PORT port) {
    const wchar_t* const separators = L"; \t\r\n";
    for (std::size_t start = list.find_first_not_of(separators); start != std::wstring::npos;) {
        const std::size_t end = list.find_first_of(separators, start);
        if (EntryMatches(list.substr(start, end - start), host, port)) return true;
        start = list.find_first_not_of(separators, end);
    }
    return false;
}

std::wstring UserProxyFor(HINTERNET session, const ServerEndpoint& server, const std::wstring& path) {
    const WinHttpApi& api = WinHttp();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!api.WinHttpGetIEProxyConfigForCurrentUser(&config)) return std::wstring();
    const GlobalString typedIn(config.lpszProxy);
    const GlobalString bypass(config.lpszProxyBypass);
    const GlobalString script(config.lpszAutoConfigUrl);

    if (script.Valid() && script.Get()[0] != L'\0') {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script.Get();
        std::wstring url = L"https://" + std::wstring(server.host);
        if (server.port != INTERNET_DEFAULT_HTTPS_PORT) url += L":" + ToDecimal(server.port);
        url += path;
        WINHTTP_PROXY_INFO answer{};
        if (api.WinHttpGetProxyForUrl(session, url.c_str(), &options, &answer)) {
            const GlobalString proxy(answer.lpszProxy);
            const GlobalString unused(answer.lpszProxyBypass);
            return answer.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? Text(proxy) : std::wstring();
        }
        // As browsers do: a script that cannot be had leaves the typed-in proxy.
    }
    if (IsOnBypassList(Text(bypass), server.host, server.port)) return std::wstring();
    return Text(typedIn);
}

}  // namespace vantrel

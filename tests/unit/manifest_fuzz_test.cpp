// Generated and mutated release.ini files, thousands of them, read through
// LoadReleaseManifest in this one process. Whatever the file holds, the
// result must be a manifest that keeps every rule or one of the three
// manifest messages; and which of them it is follows from the three values in
// the file (as generated, or for a mutated file as the profile API reads
// them with a buffer of its own), with the rules re-implemented here
// independently (regular expressions and the standard library's conversion).
//
// Fixed seed; VANTREL_FUZZ_SEED=<n> explores another sequence.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "app/installer_app.h"
#include "support/failure.h"
#include "workflow/release_manifest.h"

namespace vantrel {
namespace {

const std::wstring kMissing = L"版本清单缺少有效字段。";
const std::wstring kFormat = L"版本清单格式不正确。";
const std::wstring kSize = L"版本清单的文件大小无效。";

constexpr int kGeneratedFiles = 6000;
constexpr int kMutatedFiles = 4000;
constexpr std::uint32_t kDefaultSeed = 20240611;

// ------------------------------------------------------------------ the oracle
// What the manifest rules say about three values as read (nullopt: the key
// gave nothing or too much for the reader's buffer).
struct Verdict {
    std::optional<std::wstring> failure;  // nullopt: accepted
    std::uint64_t size = 0;
};

bool NameKeepsTheRules(const std::wstring& name) {
    static const std::wregex allowed(L"[A-Za-z0-9.-]{1,123}\\.exe");
    return name.size() >= 5 && name.size() <= 127 && std::regex_match(name, allowed) &&
           name.find(L"..") == std::wstring::npos;
}

bool DigestKeepsTheRules(const std::wstring& digest) {
    static const std::wregex hex(L"[0-9a-f]{64}");
    return std::regex_match(digest, hex);
}

std::optional<std::uint64_t> SizeByTheRules(const std::wstring& size) {
    static const std::wregex digits(L"[0-9]{1,10}");
    if (!std::regex_match(size, digits)) return std::nullopt;
    const unsigned long long value = std::stoull(size);
    if (value < 1 || value > (1ULL << 30)) return std::nullopt;
    return value;
}

// Values as read with a buffer far larger than any of them: the reader's
// limit (1 to 510 units) is applied here, not by the API.
Verdict Judge(const std::optional<std::wstring>& file, const std::optional<std::wstring>& sha256,
              const std::optional<std::wstring>& size) {
    const auto unreadable = [](const std::optional<std::wstring>& value) {
        return !value || value->empty() || value->size() >= 511;
    };
    if (unreadable(file) || unreadable(sha256) || unreadable(size)) return {kMissing};
    if (!NameKeepsTheRules(*file) || !DigestKeepsTheRules(*sha256)) return {kFormat};
    const auto parsed = SizeByTheRules(*size);
    if (!parsed) return {kSize};
    return {std::nullopt, *parsed};
}

// One key of the channel's section, read independently of the product's
// reader (a 64 K buffer: the largest file the downloader accepts).
std::optional<std::wstring> ReadLarge(const wchar_t* section, const wchar_t* key,
                                      const std::wstring& path) {
    std::vector<wchar_t> buffer(65536 + 2, L'\0');
    const DWORD length = GetPrivateProfileStringW(section, key, L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), path.c_str());
    if (length == 0) return std::nullopt;
    return std::wstring(buffer.data(), length);
}

// A planned value as the reader would see it: absent or empty gives nothing,
// bytes widen one to one.
std::optional<std::wstring> Planned(const std::optional<std::string>& value) {
    if (!value || value->empty()) return std::nullopt;
    std::wstring wide;
    for (const char c : *value) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

// ------------------------------------------------------------------ files
class FuzzFolder {
public:
    FuzzFolder() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"vantrel-fuzz-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
    }
    ~FuzzFolder() { RemoveDirectoryW(folder_.c_str()); }
    FuzzFolder(const FuzzFolder&) = delete;
    FuzzFolder& operator=(const FuzzFolder&) = delete;

    // A new name for every file: the profile API may cache what it parsed
    // per path, and a rewrite within the same timestamp tick could go unseen.
    std::wstring Write(const std::string& content) {
        const std::wstring path = folder_ + L"\\m" + std::to_wstring(next_++) + L".ini";
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
        EXPECT_EQ(written, content.size());
        return path;
    }

private:
    std::wstring folder_;
    int next_ = 0;
};

std::string Printable(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", u);
            out += escaped;
        }
    }
    return out.size() > 3000 ? out.substr(0, 3000) + "..." : out;
}

// ------------------------------------------------------------------ generation
class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool Chance(int percent) { return Below(100) < percent; }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[static_cast<std::size_t>(Below(static_cast<int>(items.size())))];
    }

    std::string From(const std::string& alphabet, int length) {
        std::string out;
        for (int i = 0; i < length; ++i) out += alphabet[static_cast<std::size_t>(Below(static_cast<int>(alphabet.size())))];
        return out;
    }

    // A name that keeps every rule, 5 to 127 characters.
    std::string GoodName() {
        const int length = Chance(10) ? Pick(std::vector<int>{5, 6, 126, 127}) : 5 + Below(40);
        std::string stem;
        const std::string plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-";
        while (static_cast<int>(stem.size()) < length - 4) {
            // Single dots between other characters; never two in a row and
            // never one just before ".exe".
            const bool dot = !stem.empty() && stem.back() != '.' &&
                             static_cast<int>(stem.size()) < length - 5 && Chance(10);
            stem += dot ? '.' : plain[static_cast<std::size_t>(Below(static_cast<int>(plain.size())))];
        }
        return stem + ".exe";
    }

    std::string Name() {
        switch (Below(22)) {
            case 1: return std::string(static_cast<std::size_t>(124 + Below(3)), 'n') + ".exe";  // 128..130
            case 2: return ".exe";
            case 3: { std::string n = GoodName(); n[n.size() - 3] = 'E'; return n; }  // .eXe
            case 4: return GoodName() + Pick(std::vector<std::string>{".txt", "x", ".exe"});
            case 5: {
                // Never at the start: a leading blank would be trimmed away.
                std::string n = GoodName();
                const auto at = static_cast<std::size_t>(1 + Below(static_cast<int>(n.size()) - 4));
                n.insert(at, Pick(std::vector<std::string>{"_", " ", "/", "\\", "%20", "..", "\xe4", "\xff", ":", "*", "?", "\""}));
                return n;
            }
            case 6: return From("abc", 506 + Below(10)) + ".exe";  // around the read limit
            case 7: return "setup..exe";
            default: return GoodName();
        }
    }

    std::string Digest() {
        const std::string hex = "0123456789abcdef";
        switch (Below(16)) {
            case 0: return From("0123456789ABCDEF", 64);
            case 1: return From(hex, 63);
            case 2: return From(hex, 65);
            case 3: { std::string d = From(hex, 64); d[static_cast<std::size_t>(Below(64))] = Pick(std::vector<char>{'g', 'G', 'F', '-', 'x', '\xe9'}); return d; }
            case 4: return From(hex, 511 + Below(3));
            default: return From(hex, 64);
        }
    }

    std::string Size() {
        switch (Below(20)) {
            case 0: return "0";
            case 1: return "1073741824";
            case 2: return "1073741825";
            case 3: return "9999999999";
            case 4: return std::string(static_cast<std::size_t>(Below(10)), '0') + "1";  // 1..10 chars
            case 5: return "00000000001";
            case 6: return Pick(std::vector<std::string>{"+100", "-1", "1e6", "0x400", "1 000", "12a", "\xd9\xa3", "4294967297", "18446744073709551617", "1,5"});
            case 7: return From("0123456789", 11 + Below(5));
            default: {
                const std::uint64_t value = 1 + static_cast<std::uint64_t>(std::uniform_int_distribution<std::uint64_t>(0, (1ULL << 30) - 1)(random_));
                return std::to_string(value);
            }
        }
    }

    // Line with a key: blanks around the '=' and the value, and the key's
    // case, are things the profile API forgives.
    std::string KeyLine(const std::string& key, const std::string& value) {
        std::string name = key;
        if (Chance(15)) for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::string pad1 = Chance(20) ? std::string(static_cast<std::size_t>(1 + Below(3)), ' ') : "";
        const std::string pad2 = Chance(20) ? std::string(static_cast<std::size_t>(1 + Below(3)), ' ') : "";
        return name + pad1 + "=" + pad2 + value + (Chance(10) ? "  " : "");
    }

    struct Plan {
        std::string content;
        SystemMode systemMode = SystemMode::Windows10;
        // What each key's value is meant to read back as; nullopt: absent.
        std::optional<std::string> file, sha256, size;
    };

    Plan Generate() {
        Plan plan;
        plan.systemMode = Chance(50) ? SystemMode::Windows7 : SystemMode::Windows10;
        const std::string channel = plan.systemMode == SystemMode::Windows7 ? "win7" : "windows";
        const std::string other = plan.systemMode == SystemMode::Windows7 ? "windows" : "win7";
        const std::string eol = Chance(80) ? "\r\n" : "\n";

        auto maybe = [&](std::string value) -> std::optional<std::string> {
            const int roll = Below(100);
            if (roll < 3) return std::nullopt;       // key absent
            if (roll < 5) return std::string();      // key with an empty value
            return value;
        };
        plan.file = maybe(Name());
        plan.sha256 = maybe(Digest());
        plan.size = maybe(Size());

        std::vector<std::string> lines;
        if (Chance(30)) lines.push_back("; release manifest");
        if (Chance(40)) {
            // The other channel, complete and valid: must not leak across.
            lines.push_back("[" + other + "]");
            lines.push_back("file=" + GoodName());
            lines.push_back("sha256=" + From("0123456789abcdef", 64));
            lines.push_back("size=" + std::to_string(1 + Below(1000000)));
        }
        std::string header = channel;
        if (Chance(15)) for (char& c : header) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        lines.push_back("[" + header + "]");
        std::vector<std::string> body;
        if (plan.file) body.push_back(KeyLine("file", *plan.file));
        if (plan.sha256) body.push_back(KeyLine("sha256", *plan.sha256));
        if (plan.size) body.push_back(KeyLine("size", *plan.size));
        if (Chance(20)) body.push_back("; size=1");
        if (Chance(20)) body.push_back("channel=" + channel);
        if (Chance(10)) body.push_back("");
        std::shuffle(body.begin(), body.end(), random_);
        lines.insert(lines.end(), body.begin(), body.end());
        if (Chance(30)) {
            lines.push_back("[extra]");
            lines.push_back("file=other.exe");
        }
        for (const std::string& line : lines) plan.content += line + eol;
        if (Chance(10)) plan.content.resize(plan.content.size() - eol.size());  // no final line break
        return plan;
    }

    std::string Mutate(std::string bytes) {
        const int count = 1 + Below(4);
        for (int i = 0; i < count; ++i) {
            const std::size_t at = bytes.empty() ? 0 : static_cast<std::size_t>(Below(static_cast<int>(bytes.size()) + 1));
            switch (Below(10)) {
                case 0:  // flip a bit
                    if (!bytes.empty()) bytes[std::min(at, bytes.size() - 1)] ^= static_cast<char>(1 << Below(8));
                    break;
                case 1:  // insert a byte that means something to a parser
                    bytes.insert(at, 1, Pick(std::vector<char>{'\0', '\r', '\n', '[', ']', '=', ';', '"', '\'', ' ', '\t', '\x1a', '\xff', '\xfe', '\xef'}));
                    break;
                case 2:  // delete a run
                    bytes.erase(at, static_cast<std::size_t>(1 + Below(20)));
                    break;
                case 3: {  // duplicate a run
                    const std::string run = bytes.substr(at, static_cast<std::size_t>(1 + Below(60)));
                    bytes.insert(at, run);
                    break;
                }
                case 4:  // truncate
                    bytes.resize(at);
                    break;
                case 5:  // a byte-order mark or encoding noise at the start
                    bytes.insert(0, Pick(std::vector<std::string>{"\xef\xbb\xbf", std::string("\xff\xfe", 2), std::string("\xfe\xff", 2), std::string("\0", 1)}));
                    break;
                case 6:  // a very long run of one character
                    bytes.insert(at, static_cast<std::size_t>(400 + Below(300)), Pick(std::vector<char>{'a', '0', ' ', 'f'}));
                    break;
                case 7:  // quotes around part of the text
                    bytes.insert(at, "\"");
                    bytes.insert(std::min(bytes.size(), at + static_cast<std::size_t>(1 + Below(80))), "\"");
                    break;
                case 8:  // a second section or key line in the middle
                    bytes.insert(at, Pick(std::vector<std::string>{"\r\n[windows]\r\n", "\r\n[win7]\r\n", "\nsize=5\n", "\nfile=a.exe\n", "\r\nsha256=" + From("0123456789abcdef", 64) + "\r\n"}));
                    break;
                default:  // random bytes
                    static const char kNoise[] = "\x00\x01\x7f\x80\xc3\xa9\xe4\xb8\xad=[];\r\n 9a.";
                    bytes.insert(at, From(std::string(kNoise, sizeof(kNoise) - 1), 1 + Below(8)));
                    break;
            }
        }
        return bytes;
    }

private:
    std::mt19937 random_;
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string Describe(const std::optional<std::wstring>& failure) {
    if (!failure) return "accepted";
    if (*failure == kMissing) return "missing field";
    if (*failure == kFormat) return "bad format";
    if (*failure == kSize) return "bad size";
    return "unexpected message";
}

TEST(ManifestFuzz, EveryFileGivesAValidManifestOrOneOfTheThreeMessages) {
    std::uint32_t seed = kDefaultSeed;
    if (const char* text = std::getenv("VANTREL_FUZZ_SEED")) seed = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    Generator generator(seed);
    FuzzFolder folder;

    std::map<std::string, int> generatedOutcomes;
    std::map<std::string, int> mutatedOutcomes;
    for (int index = 0; index < kGeneratedFiles + kMutatedFiles; ++index) {
        const bool mutated = index >= kGeneratedFiles;
        Generator::Plan plan = generator.Generate();
        if (mutated) plan.content = generator.Mutate(plan.content);
        const std::wstring path = folder.Write(plan.content);
        const wchar_t* section = ManifestSection(plan.systemMode);

        InstallerApp app;
        app.systemMode = plan.systemMode;
        std::optional<std::wstring> failure;
        ReleaseManifest manifest;
        bool foreignException = false;
        try {
            manifest = LoadReleaseManifest(path, ManifestSection(app.systemMode));
        } catch (const Failure& thrown) {
            failure = thrown.message;
        } catch (...) {
            foreignException = true;
        }

        // What the file says. For a generated file, the values it was written
        // with: the generator only uses forms the profile API reads back
        // verbatim (blanks around a value are trimmed), and a byte above 0x7F
        // comes back as some unit above 0x7F whatever the code page, which is
        // all the rules look at. For a mutated file, the values as the profile
        // API reads them.
        std::optional<std::wstring> file, sha256, size;
        if (mutated) {
            file = ReadLarge(section, L"file", path);
            sha256 = ReadLarge(section, L"sha256", path);
            size = ReadLarge(section, L"size", path);
        } else {
            file = Planned(plan.file);
            sha256 = Planned(plan.sha256);
            size = Planned(plan.size);
        }
        DeleteFileW(path.c_str());
        const Verdict verdict = Judge(file, sha256, size);
        const std::string context = "seed " + std::to_string(seed) + ", file " + std::to_string(index) +
                                    (mutated ? " (mutated)" : " (generated)") + ", section " +
                                    Narrow(section) + ": " + Printable(plan.content);

        ASSERT_FALSE(foreignException) << "an exception other than the manifest messages; " << context;
        if (failure) {
            ASSERT_TRUE(*failure == kMissing || *failure == kFormat || *failure == kSize)
                << "unexpected message " << Narrow(*failure) << "; " << context;
        } else {
            // Accepted: every rule holds for what came back.
            ASSERT_TRUE(NameKeepsTheRules(manifest.file)) << Narrow(manifest.file) << "; " << context;
            ASSERT_TRUE(DigestKeepsTheRules(manifest.sha256)) << Narrow(manifest.sha256) << "; " << context;
            ASSERT_GE(manifest.size, 1u) << context;
            ASSERT_LE(manifest.size, 1ULL << 30) << context;
        }
        // And it is the outcome the rules give for the values in the file,
        // with those very values.
        ASSERT_EQ(Describe(failure), Describe(verdict.failure)) << context;
        if (!failure) {
            ASSERT_EQ(manifest.file, *file) << context;
            ASSERT_EQ(manifest.sha256, *sha256) << context;
            ASSERT_EQ(manifest.size, verdict.size) << context;
        }
        (mutated ? mutatedOutcomes : generatedOutcomes)[Describe(failure)]++;
    }

    std::printf("manifest fuzz, seed %u: %d generated, %d mutated\n", seed, kGeneratedFiles, kMutatedFiles);
    for (const auto* outcomes : {&generatedOutcomes, &mutatedOutcomes}) {
        std::printf("  %s:", outcomes == &generatedOutcomes ? "generated" : "mutated  ");
        for (const auto& [outcome, count] : *outcomes) std::printf(" %s %d;", outcome.c_str(), count);
        std::printf("\n");
    }
    // The generated files reach every outcome often enough to mean something.
    for (const char* outcome : {"accepted", "missing field", "bad format", "bad size"}) {
        EXPECT_GE(generatedOutcomes[outcome], kGeneratedFiles / 20) << outcome;
    }
}

}  // namespace
}  // namespace vantrel

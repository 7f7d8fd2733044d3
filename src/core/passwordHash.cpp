#include "core/passwordHash.h"

#include <windows.h>

#include <bcrypt.h>

#include "base/systemLibrary.h"
#include "storage/textFiles.h"

namespace {

constexpr std::wstring_view kPrefix = L"pbkdf2-sha256$";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// An edited file may ask for more, but never enough to stall every check.
constexpr uint64_t kMaxIterations = 10ull * kPasswordHashIterations;
// HMAC-SHA256's block: a longer key is used through its hash.
constexpr size_t kHmacBlockBytes = 64;
constexpr size_t kSha256Bytes = 32;

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// A password is checked a few times a day at most: bcrypt.dll is loaded at the
// first check, not at every start.
SystemLibrary bcryptLibrary(L"bcrypt.dll");

// The functions used here, all of them or none.
struct Bcrypt {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptDeriveKeyPBKDF2) deriveKeyPbkdf2 = nullptr;
    decltype(&BCryptGenRandom) genRandom = nullptr;

    bool complete() const
    {
        return openAlgorithmProvider && closeAlgorithmProvider && createHash && hashData && finishHash &&
               destroyHash && deriveKeyPbkdf2 && genRandom;
    }
};

// False when bcrypt.dll cannot be loaded: the check then fails as any other
// failure of the system's cryptography does.
bool loadBcrypt(Bcrypt& bcrypt)
{
    bcrypt.openAlgorithmProvider =
        bcryptLibrary.function<decltype(&BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    bcrypt.closeAlgorithmProvider =
        bcryptLibrary.function<decltype(&BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    bcrypt.createHash = bcryptLibrary.function<decltype(&BCryptCreateHash)>("BCryptCreateHash");
    bcrypt.hashData = bcryptLibrary.function<decltype(&BCryptHashData)>("BCryptHashData");
    bcrypt.finishHash = bcryptLibrary.function<decltype(&BCryptFinishHash)>("BCryptFinishHash");
    bcrypt.destroyHash = bcryptLibrary.function<decltype(&BCryptDestroyHash)>("BCryptDestroyHash");
    bcrypt.deriveKeyPbkdf2 = bcryptLibrary.function<decltype(&BCryptDeriveKeyPBKDF2)>("BCryptDeriveKeyPBKDF2");
    bcrypt.genRandom = bcryptLibrary.function<decltype(&BCryptGenRandom)>("BCryptGenRandom");
    return bcrypt.complete();
}

int base64Value(char c)
{
    for (int i = 0; i < 64; ++i) {
        if (kBase64Digits[i] == c) {
            return i;
        }
    }
    return -1;
}

std::string asciiOf(std::wstring_view text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == 0 || c > 0x7f) {
            return {};
        }
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

bool parseIterations(std::string_view text, uint64_t& iterations)
{
    if (text.empty() || text.size() > 10 || text[0] == '0') {
        return false;
    }
    iterations = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        iterations = iterations * 10 + static_cast<uint64_t>(c - '0');
    }
    return iterations <= kMaxIterations;
}

std::wstring encodeHash(uint64_t iterations, const std::vector<uint8_t>& salt, const std::vector<uint8_t>& hash)
{
    const std::string text = std::to_string(iterations) + '$' + encodeBase64(salt) + '$' + encodeBase64(hash);
    return std::wstring(kPrefix) + std::wstring(text.begin(), text.end());
}

// SHA-256 of `bytes`; empty on failure.
std::vector<uint8_t> sha256(const Bcrypt& bcrypt, std::string_view bytes)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(bcrypt.openAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return {};
    }
    std::vector<uint8_t> digest(kSha256Bytes);
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = succeeded(bcrypt.createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    if (done) {
        done = succeeded(bcrypt.hashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                        static_cast<ULONG>(bytes.size()), 0)) &&
               succeeded(bcrypt.finishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
        bcrypt.destroyHash(hash);
    }
    bcrypt.closeAlgorithmProvider(algorithm, 0);
    return done ? digest : std::vector<uint8_t>();
}

}  // namespace

std::vector<uint8_t> pbkdf2Sha256(std::string_view password, std::string_view salt, uint64_t iterations,
                                  size_t length)
{
    // HMAC hashes a key longer than its block before every use (RFC 2104), and
    // the derivation keys HMAC afresh at each iteration: hashing it once here
    // gives the same result at a cost that no longer grows with the key.
    Bcrypt bcrypt;
    if (!loadBcrypt(bcrypt)) {
        return {};
    }
    std::vector<uint8_t> shortKey;
    if (password.size() > kHmacBlockBytes) {
        shortKey = sha256(bcrypt, password);
        if (shortKey.empty()) {
            return {};
        }
        password = std::string_view(reinterpret_cast<const char*>(shortKey.data()), shortKey.size());
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(bcrypt.openAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
        return {};
    }
    std::vector<uint8_t> key(length);
    // An empty buffer still needs a valid pointer.
    static const char kNothing = 0;
    const NTSTATUS status = bcrypt.deriveKeyPbkdf2(
        algorithm, reinterpret_cast<PUCHAR>(const_cast<char*>(password.empty() ? &kNothing : password.data())),
        static_cast<ULONG>(password.size()),
        reinterpret_cast<PUCHAR>(const_cast<char*>(salt.empty() ? &kNothing : salt.data())),
        static_cast<ULONG>(salt.size()), iterations, key.data(), static_cast<ULONG>(key.size()), 0);
    bcrypt.closeAlgorithmProvider(algorithm, 0);
    if (!succeeded(status)) {
        return {};
    }
    return key;
}

std::string encodeBase64(const std::vector<uint8_t>& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (count > 1) {
            group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        }
        if (count > 2) {
            group |= bytes[i + 2];
        }
        text.push_back(kBase64Digits[(group >> 18) & 63]);
        text.push_back(kBase64Digits[(group >> 12) & 63]);
        text.push_back(count > 1 ? kBase64Digits[(group >> 6) & 63] : '=');
        text.push_back(count > 2 ? kBase64Digits[group & 63] : '=');
    }
    return text;
}

bool decodeBase64(std::string_view text, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const size_t padding = last ? (text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0) : 0;
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            const int value = j >= 4 - padding ? 0 : base64Value(text[i + j]);
            if (value < 0) {
                return false;
            }
            group = group << 6 | static_cast<uint32_t>(value);
        }
        // Bits below the last byte must be zero, so each value has one spelling.
        if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<uint8_t>(group >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<uint8_t>(group));
        }
    }
    return true;
}

std::wstring hashPassword(std::wstring_view password)
{
    Bcrypt bcrypt;
    if (!loadBcrypt(bcrypt)) {
        return {};
    }
    std::vector<uint8_t> salt(kPasswordSaltBytes);
    if (!succeeded(bcrypt.genRandom(nullptr, salt.data(), static_cast<ULONG>(salt.size()),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return {};
    }
    const std::vector<uint8_t> hash =
        pbkdf2Sha256(utf16ToUtf8(password), std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()),
                     kPasswordHashIterations, kPasswordHashBytes);
    if (hash.empty()) {
        return {};
    }
    return encodeHash(kPasswordHashIterations, salt, hash);
}

bool isPasswordHash(std::wstring_view stored)
{
    return stored.starts_with(kPrefix);
}

bool verifyPasswordHash(std::wstring_view password, std::wstring_view stored)
{
    if (!isPasswordHash(stored)) {
        return false;
    }
    const std::string fields = asciiOf(stored.substr(kPrefix.size()));
    const size_t first = fields.find('$');
    const size_t second = first == std::string::npos ? std::string::npos : fields.find('$', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    uint64_t iterations = 0;
    std::vector<uint8_t> salt;
    std::vector<uint8_t> expected;
    if (!parseIterations(std::string_view(fields).substr(0, first), iterations) ||
        !decodeBase64(std::string_view(fields).substr(first + 1, second - first - 1), salt) ||
        !decodeBase64(std::string_view(fields).substr(second + 1), expected) || salt.empty() ||
        expected.size() != kPasswordHashBytes) {
        return false;
    }
    const std::vector<uint8_t> actual =
        pbkdf2Sha256(utf16ToUtf8(password), std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()),
                     iterations, expected.size());
    if (actual.size() != expected.size()) {
        return false;
    }
    uint8_t difference = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<uint8_t>(actual[i] ^ expected[i]);
    }
    return difference == 0;
}

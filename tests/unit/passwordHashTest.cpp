// The stored form of the settings password: PBKDF2-HMAC-SHA256 from the
// system's cryptography against published vectors, base64, and the encoded
// value that settings_password holds.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "core/passwordHash.h"
#include "libraryLoadSeam.h"

namespace {

std::string hexOf(const std::vector<uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

TEST(PasswordHash, Pbkdf2MatchesPublishedVectors)
{
    // RFC 7914, section 11; the others checked against another implementation: a non-ASCII
    // password, and keys at, just past and far past HMAC's 64-byte block (a longer key is used
    // through its digest).
    const struct {
        std::string password;
        std::string salt;
        uint64_t iterations;
        size_t length;
        const char* expected;
    } cases[] = {
        {"passwd", "salt", 1, 64,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000, 64,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
        {"\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
         std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16), 3, 32,
         "d6e691c171314a0185cf53ec1cf157568f383203aeb9f1f54acbc5063ffca34d"},
        {std::string(64, 'k'), "salt", 2, 32, "a858736c1761ff7ff75351b00e8314761c199f7cc28eea967495340c34228e87"},
        {std::string(65, 'k'), "salt", 2, 32, "ddff3f4befbd87f443c0d32abcea246f26aa533be46caa8829e6dba1e8566728"},
        {std::string(300000, 'x'), "salt", 3, 32, "c2baf04bec05d22ceedeee06f11a0620322879c0a87602b9faf80d52de7d8172"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hexOf(pbkdf2Sha256(c.password, c.salt, c.iterations, c.length)), c.expected) << c.password.substr(0, 80);
    }
}

// A password as long as an edited file may hold costs no more than a short one.
TEST(PasswordHash, AHugePasswordHashesAsFastAsAShortOne)
{
    const std::wstring huge(300000, L'x');
    const ULONGLONG shortStart = GetTickCount64();
    const std::wstring shortStored = hashPassword(L"x");
    const ULONGLONG shortTime = GetTickCount64() - shortStart;
    const ULONGLONG hugeStart = GetTickCount64();
    const std::wstring hugeStored = hashPassword(huge);
    const ULONGLONG hugeTime = GetTickCount64() - hugeStart;
    ASSERT_FALSE(hugeStored.empty());
    EXPECT_TRUE(verifyPasswordHash(huge, hugeStored));
    EXPECT_FALSE(verifyPasswordHash(huge.substr(1), hugeStored));
    EXPECT_LT(hugeTime, shortTime + 1000) << "short " << shortTime << " ms, huge " << hugeTime << " ms";
}

TEST(PasswordHash, Base64RoundTripsAndRefusesWhatIsNotCanonical)
{
    // RFC 4648, section 10.
    const struct {
        const char* bytes;
        const char* text;
    } vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                   {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        const std::string raw = v.bytes;
        const std::vector<uint8_t> bytes(raw.begin(), raw.end());
        EXPECT_EQ(encodeBase64(bytes), v.text);
        std::vector<uint8_t> decoded;
        EXPECT_TRUE(decodeBase64(v.text, decoded)) << v.text;
        EXPECT_EQ(decoded, bytes) << v.text;
    }
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    std::vector<uint8_t> decoded;
    EXPECT_TRUE(decodeBase64(encodeBase64(all), decoded));
    EXPECT_EQ(decoded, all);

    for (const char* bad : {"Zg=", "Zh==", "Zm9=", "Z===", "Zg==Zg==", "Zm9v!A==", "Zm 9", "=Zm9", "Zm-_"}) {
        EXPECT_FALSE(decodeBase64(bad, decoded)) << bad;
    }
}

TEST(PasswordHash, StoredFormOpensWithItsPasswordOnly)
{
    const std::wstring password = L"Пароль \"1\"\t\\x";
    const std::wstring stored = hashPassword(password);
    const std::wstring prefix = L"pbkdf2-sha256$" + std::to_wstring(kPasswordHashIterations) + L"$";
    ASSERT_EQ(stored.substr(0, prefix.size()), prefix);
    // 16 bytes of salt and 32 of hash, padded base64: 24 and 44 characters.
    const std::wstring rest = stored.substr(prefix.size());
    ASSERT_EQ(rest.size(), 24u + 1u + 44u) << testing::PrintToString(stored);
    EXPECT_EQ(rest[24], L'$');
    for (const wchar_t c : rest) {
        EXPECT_TRUE((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' ||
                    c == L'/' || c == L'=' || c == L'$')
            << "nothing the JSON writer escapes";
    }
    EXPECT_TRUE(isPasswordHash(stored));
    EXPECT_FALSE(isPasswordHash(password));

    EXPECT_TRUE(verifyPasswordHash(password, stored));
    for (const wchar_t* wrong : {L"пароль \"1\"\t\\x", L"Пароль \"1\"\t\\", L"Пароль \"1\"\t\\x ", L""}) {
        EXPECT_FALSE(verifyPasswordHash(wrong, stored)) << testing::PrintToString(std::wstring(wrong));
    }
    // A fresh salt each time: the same password never gives the same value.
    const std::wstring again = hashPassword(password);
    EXPECT_NE(again, stored);
    EXPECT_TRUE(verifyPasswordHash(password, again));
}

TEST(PasswordHash, ForeignIterationCountsAreHonoured)
{
    // 'passwd' with salt 'salt' at 1 iteration, truncated to 32 bytes.
    const std::wstring stored = L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=";
    EXPECT_TRUE(verifyPasswordHash(L"passwd", stored));
    EXPECT_FALSE(verifyPasswordHash(L"passwd ", stored));
}

TEST(PasswordHash, MalformedStoredValuesMatchNothing)
{
    const std::wstring good = L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=";
    std::vector<std::wstring> malformed = {
        L"pbkdf2-sha256$",
        L"pbkdf2-sha256$$$",
        L"pbkdf2-sha256$1$c2FsdA==",
        L"pbkdf2-sha256$0$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$01$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$-1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$99999999999$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        // More than ten times the count the program writes: refused before any work is done.
        L"pbkdf2-sha256$800001$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$1$$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$1$c2FsdA=$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
        L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw",
        L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8IN",
        L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=$",
        L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=\u00e9",
        L"pbkdf2-sha1$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=",
    };
    std::wstring withNul = good;
    withNul[20] = L'\0';
    malformed.push_back(withNul);
    ASSERT_TRUE(verifyPasswordHash(L"passwd", good)) << "the cases below differ from a value that matches";
    for (const std::wstring& value : malformed) {
        EXPECT_FALSE(verifyPasswordHash(L"passwd", value)) << testing::PrintToString(value);
        EXPECT_FALSE(verifyPasswordHash(L"", value)) << testing::PrintToString(value);
    }
}

// bcrypt.dll is loaded at the first check; should that fail, hashing and
// checking fail as when the cryptography itself fails, and the next check
// tries again.
TEST(PasswordHash, AMissingCryptographyLibraryFailsEveryCheckAndIsTriedAgain)
{
    const std::wstring good = L"pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=";
    ASSERT_TRUE(verifyPasswordHash(L"passwd", good));
    {
        ReplacedLibraryLoad refused(ReplacedLibraryLoad::Answer::Refuse);
        EXPECT_EQ(hashPassword(L"passwd"), L"");
        EXPECT_FALSE(verifyPasswordHash(L"passwd", good));
        EXPECT_TRUE(pbkdf2Sha256("passwd", "salt", 1, kPasswordHashBytes).empty());
        ASSERT_FALSE(refused.requested().empty());
        for (const std::wstring& name : refused.requested()) {
            EXPECT_EQ(name, L"bcrypt.dll");
        }
    }
    EXPECT_TRUE(verifyPasswordHash(L"passwd", good));
    const std::wstring stored = hashPassword(L"passwd");
    EXPECT_TRUE(verifyPasswordHash(L"passwd", stored));
}

}  // namespace

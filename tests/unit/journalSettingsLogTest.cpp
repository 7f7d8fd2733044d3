// settings.log: the chain from setup's record through signed changes, a new
// password signed by the old one, a removed password and unsigned changes
// after it, and everything the account might append or leave in it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/journalCrypto.h"
#include "core/passwordHash.h"
#include "storage/journal.h"

using namespace std::string_literals;

namespace {

// The value of one field of a record line.
std::string fieldOf(const std::string& line, const std::string& name)
{
    const std::string label = name + "=";
    const size_t at = line.find(" " + label) != std::string::npos ? line.find(" " + label) + 1 : line.find(label);
    if (at == std::string::npos) {
        return {};
    }
    const size_t start = at + label.size();
    const size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<uint8_t> decoded(const std::string& text)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(decodeBase64(text, bytes)) << text;
    return bytes;
}

std::string unsignedPart(const std::string& line)
{
    return line.substr(0, line.find(" sig="));
}

// The private key a record carries, opened with its password as the program would.
SecretBytes privateKeyOf(const std::string& line, const std::wstring& password)
{
    Sealed sealed;
    sealed.nonce = decoded(fieldOf(line, "nonce"));
    sealed.ciphertext = decoded(fieldOf(line, "sealed"));
    sealed.tag = decoded(fieldOf(line, "tag"));
    const SecretBytes key =
        sealKeyFromPassword(password, decoded(fieldOf(line, "salt")), std::stoull(fieldOf(line, "kdf")));
    std::optional<SecretBytes> opened = openSealed(key, sealed, decoded(fieldOf(line, "pub")));
    return opened ? std::move(*opened) : SecretBytes();
}

// `text` (a record up to its signature field) signed by `key`.
std::string signedBy(const std::string& text, const SecretBytes& key)
{
    const std::optional<std::vector<uint8_t>> signature = signMessage(key, text);
    EXPECT_TRUE(signature);
    return text + " sig=" + (signature ? encodeBase64(*signature) : "-");
}

std::string replaced(std::string line, const std::string& from, const std::string& to)
{
    const size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
}

JournalSettings settingsOf(int32_t limit, bool notify, bool exit, const std::wstring& verifier)
{
    JournalSettings settings;
    settings.dailyLimitMinutes = limit;
    settings.showLastThreeMinuteNotifications = notify;
    settings.requirePasswordOnExit = exit;
    settings.passwordVerifier = verifier;
    return settings;
}

// One chain made once for all the tests: the key pairs and derivations cost
// a fraction of a second each.
struct Chain {
    std::wstring alpha;  // verifiers of "alpha", "beta" and "gamma"
    std::wstring beta;
    std::wstring gamma;
    std::string root;            // setup's, password alpha
    std::string signedChange;    // limit 90, signed with alpha's key
    std::string newPassword;     // password beta, signed with alpha's key
    std::string removed;         // no password, signed with beta's key
    std::string unsignedChange;  // limit 200, nobody's
    std::string passwordAgain;   // password gamma, unsigned
    std::string afterAgain;      // limit 45, signed with gamma's key
    std::string fork;            // a second record after the root
    std::string otherRoot;       // another setup's first record
    std::string rootDigest;
};

const Chain& chain()
{
    static const Chain made = [] {
        Chain c;
        c.alpha = hashPassword(L"alpha");
        c.beta = hashPassword(L"beta");
        c.gamma = hashPassword(L"gamma");
        c.root = makeFirstSettingsRecord(settingsOf(120, true, false, c.alpha), L"alpha").value_or("");
        c.signedChange = makeNextSettingsRecord(c.root, settingsOf(90, true, true, c.alpha), L"alpha", std::nullopt)
                             .value_or("");
        c.newPassword =
            makeNextSettingsRecord(c.signedChange, settingsOf(90, true, true, c.beta), L"alpha", L"beta").value_or("");
        c.removed =
            makeNextSettingsRecord(c.newPassword, settingsOf(90, false, false, L""), L"beta", std::nullopt).value_or("");
        c.unsignedChange =
            makeNextSettingsRecord(c.removed, settingsOf(200, false, false, L""), L"", std::nullopt).value_or("");
        c.passwordAgain =
            makeNextSettingsRecord(c.unsignedChange, settingsOf(30, true, false, c.gamma), L"", L"gamma").value_or("");
        c.afterAgain = makeNextSettingsRecord(c.passwordAgain, settingsOf(45, true, false, c.gamma), L"gamma",
                                              std::nullopt)
                           .value_or("");
        c.fork = makeNextSettingsRecord(c.root, settingsOf(60, true, false, c.alpha), L"alpha", std::nullopt)
                     .value_or("");
        c.otherRoot = makeFirstSettingsRecord(settingsOf(120, true, false, c.alpha), L"alpha").value_or("");
        c.rootDigest = settingsRecordDigest(c.root);
        return c;
    }();
    return made;
}

std::string logOf(const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line + "\n";
    }
    return bytes;
}

class JournalSettingsLog : public testing::Test {
protected:
    void SetUp() override
    {
        const Chain& c = chain();
        for (const std::string* line : {&c.root, &c.signedChange, &c.newPassword, &c.removed, &c.unsignedChange,
                                        &c.passwordAgain, &c.afterAgain, &c.fork, &c.otherRoot}) {
            ASSERT_FALSE(line->empty()) << "the chain could not be made";
        }
        ASSERT_EQ(c.rootDigest.size(), 64u);
    }
};

TEST_F(JournalSettingsLog, RecordsHaveOneFormAndFollowOneAnother)
{
    const Chain& c = chain();
    // Fields in order, "-" for none; the sequence counts up and each names the one before.
    EXPECT_EQ(c.root.substr(0, 43), "S seq=1 limit=120 notify=1 exit=0 verifier=");
    EXPECT_EQ(fieldOf(c.root, "prev"), "-");
    EXPECT_EQ(fieldOf(c.signedChange, "seq"), "2");
    EXPECT_EQ(fieldOf(c.signedChange, "prev"), c.rootDigest);
    EXPECT_EQ(fieldOf(c.newPassword, "prev"), settingsRecordDigest(c.signedChange));
    EXPECT_EQ(fieldOf(c.root, "kdf"), std::to_string(settingsSealIterations()));
    EXPECT_EQ(decoded(fieldOf(c.root, "pub")).size(), kEcdsaPublicBlobBytes);
    EXPECT_EQ(decoded(fieldOf(c.root, "sig")).size(), kEcdsaSignatureBytes);
    // A change that keeps the password keeps the key; a new password brings a new one.
    EXPECT_EQ(fieldOf(c.signedChange, "pub"), fieldOf(c.root, "pub"));
    EXPECT_EQ(fieldOf(c.signedChange, "sealed"), fieldOf(c.root, "sealed"));
    EXPECT_NE(fieldOf(c.newPassword, "pub"), fieldOf(c.root, "pub"));
    EXPECT_NE(fieldOf(c.newPassword, "salt"), fieldOf(c.root, "salt"));
    // Without a password: no key and no signature after it.
    EXPECT_EQ(c.removed.substr(c.removed.find(" verifier=")),
              " verifier=- prev=" + settingsRecordDigest(c.newPassword) +
                  " pub=- kdf=- salt=- nonce=- sealed=- tag=- sig=" + fieldOf(c.removed, "sig"));
    EXPECT_NE(fieldOf(c.removed, "sig"), "-");
    EXPECT_EQ(fieldOf(c.unsignedChange, "sig"), "-");
    EXPECT_EQ(fieldOf(c.passwordAgain, "sig"), "-");
    EXPECT_NE(fieldOf(c.afterAgain, "sig"), "-");
    EXPECT_EQ(c.root.find('\n'), std::string::npos);
    // The sealed key is the record's own, opened by its password only.
    EXPECT_EQ(privateKeyOf(c.root, L"alpha").size(), kEcdsaPrivateBlobBytes);
    EXPECT_TRUE(privateKeyOf(c.root, L"beta").empty());
    EXPECT_EQ(privateKeyOf(c.newPassword, L"beta").size(), kEcdsaPrivateBlobBytes);
}

TEST_F(JournalSettingsLog, TheLastRecordOfTheChainIsInForceAndAnythingElseIsTampered)
{
    const Chain& c = chain();
    // Records the chain cannot hold, each otherwise well made.
    const std::string wrongKey = signedBy(unsignedPart(c.newPassword), privateKeyOf(c.otherRoot, L"alpha"));
    const std::string unsignedWhilePassword = unsignedPart(c.signedChange) + " sig=-";
    const std::string editedAfterSigning = replaced(c.signedChange, " limit=90 ", " limit=900 ");
    const std::string sameSequence =
        signedBy(replaced(unsignedPart(c.newPassword), "S seq=3 ", "S seq=2 "), privateKeyOf(c.root, L"alpha"));
    const std::string higherSequence =
        signedBy(replaced(unsignedPart(c.newPassword), "S seq=3 ", "S seq=7 "), privateKeyOf(c.root, L"alpha"));
    const std::string signedAfterRemoval = signedBy(unsignedPart(c.unsignedChange), privateKeyOf(c.newPassword, L"beta"));
    const std::string forkWithHigherSequence =
        signedBy(replaced(unsignedPart(c.fork), "S seq=2 ", "S seq=3 "), privateKeyOf(c.root, L"alpha"));
    const std::string tornThird = c.newPassword.substr(0, c.newPassword.size() / 2);

    const struct {
        const char* what;
        std::string bytes;
        std::optional<int32_t> limit;  // nullopt: tampered
        std::wstring verifier;
    } cases[] = {
        {"setup's record alone", logOf({c.root}), 120, c.alpha},
        {"a signed change", logOf({c.root, c.signedChange}), 90, c.alpha},
        {"a new password signed by the old", logOf({c.root, c.signedChange, c.newPassword}), 90, c.beta},
        {"a removed password, then an unsigned change",
         logOf({c.root, c.signedChange, c.newPassword, c.removed, c.unsignedChange}), 200, L""},
        {"a password set again without a signature, then signed by it",
         logOf({c.root, c.signedChange, c.newPassword, c.removed, c.unsignedChange, c.passwordAgain, c.afterAgain}), 45,
         c.gamma},
        {"a sequence that jumps up", logOf({c.root, c.signedChange, higherSequence}), 90, c.beta},
        {"a record signed with a wrong key", logOf({c.root, c.signedChange, wrongKey}), std::nullopt, L""},
        {"an unsigned record while a password is set", logOf({c.root, unsignedWhilePassword}), std::nullopt, L""},
        {"a record edited after signing", logOf({c.root, editedAfterSigning}), std::nullopt, L""},
        {"a sequence that does not go up", logOf({c.root, c.signedChange, sameSequence}), std::nullopt, L""},
        {"a signed record where none is due", logOf({c.root, c.signedChange, c.newPassword, c.removed, signedAfterRemoval}),
         std::nullopt, L""},
        {"a replayed older record", logOf({c.root, c.signedChange, c.newPassword, c.signedChange}), std::nullopt, L""},
        {"the root replayed", logOf({c.root, c.signedChange, c.root}), std::nullopt, L""},
        {"a replayed change after the removal",
         logOf({c.root, c.signedChange, c.newPassword, c.removed, c.signedChange}), std::nullopt, L""},
        {"a fork", logOf({c.root, c.signedChange, c.fork}), std::nullopt, L""},
        {"a fork with a higher sequence", logOf({c.root, c.signedChange, forkWithHigherSequence}), std::nullopt, L""},
        {"a record whose previous is missing", logOf({c.root, c.newPassword}), std::nullopt, L""},
        {"records out of order", logOf({c.root, c.newPassword, c.signedChange}), std::nullopt, L""},
        {"garbage appended", logOf({c.root, c.signedChange}) + "limit=1440\n", std::nullopt, L""},
        {"a line end of two characters", c.root + "\r\n", std::nullopt, L""},
        {"a day record", logOf({c.root, "D 2026-12-11 5"}), std::nullopt, L""},
        {"a torn append, then the record whole", logOf({c.root, c.signedChange, tornThird, c.newPassword}), 90, c.beta},
        {"a torn append of NULs", logOf({c.root, std::string(40, '\0'), c.signedChange}), 90, c.alpha},
        {"a torn append followed by NULs", logOf({c.root, tornThird + std::string(9, '\0'), c.signedChange}), 90, c.alpha},
        {"an unfinished last record", logOf({c.root, c.signedChange}) + c.newPassword, 90, c.alpha},
        {"another setup's first record", logOf({c.otherRoot, c.signedChange}), std::nullopt, L""},
        {"the root after another first record", logOf({c.otherRoot, c.root}), std::nullopt, L""},
        {"no finished record", c.root, std::nullopt, L""},
        {"nothing", "", std::nullopt, L""},
        {"over the bound", logOf({c.root}) + std::string(kMaxJournalBytes, '\n'), std::nullopt, L""},
    };
    for (const auto& c2 : cases) {
        const std::optional<SettingsInForce> inForce = checkSettingsLog(c2.bytes, c.rootDigest);
        ASSERT_EQ(inForce.has_value(), c2.limit.has_value()) << c2.what;
        if (inForce) {
            EXPECT_EQ(inForce->settings.dailyLimitMinutes, *c2.limit) << c2.what;
            EXPECT_EQ(inForce->settings.passwordVerifier, c2.verifier) << c2.what;
        }
    }
}

TEST_F(JournalSettingsLog, TheRecordInForceCarriesWhatTheNextOneNeeds)
{
    const Chain& c = chain();
    const std::optional<SettingsInForce> inForce =
        checkSettingsLog(logOf({c.root, c.signedChange, c.newPassword}), c.rootDigest);
    ASSERT_TRUE(inForce);
    EXPECT_EQ(inForce->line, c.newPassword);
    EXPECT_EQ(inForce->sequence, 3u);
    EXPECT_TRUE(inForce->settings.showLastThreeMinuteNotifications);
    EXPECT_TRUE(inForce->settings.requirePasswordOnExit);

    const std::optional<std::string> next =
        makeNextSettingsRecord(inForce->line, settingsOf(1440, false, true, c.beta), L"beta", std::nullopt);
    ASSERT_TRUE(next);
    const std::optional<SettingsInForce> after =
        checkSettingsLog(logOf({c.root, c.signedChange, c.newPassword, *next}), c.rootDigest);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->settings.dailyLimitMinutes, 1440);
    EXPECT_FALSE(after->settings.showLastThreeMinuteNotifications);
    EXPECT_EQ(after->sequence, 4u);
}

TEST_F(JournalSettingsLog, ANextRecordNeedsThePasswordThatOpensTheKeyAndConsistentSettings)
{
    const Chain& c = chain();
    const struct {
        const char* what;
        const std::string* previous;
        JournalSettings settings;
        std::wstring typed;
        std::optional<std::wstring> newPassword;
    } refused[] = {
        {"a wrong typed password", &c.root, settingsOf(60, true, false, c.alpha), L"alphA", std::nullopt},
        {"no typed password", &c.root, settingsOf(60, true, false, c.alpha), L"", std::nullopt},
        {"the old password after a change", &c.newPassword, settingsOf(60, true, false, c.beta), L"alpha", std::nullopt},
        {"a new verifier without its password", &c.root, settingsOf(60, true, false, c.beta), L"alpha", std::nullopt},
        {"a new password its verifier does not match", &c.root, settingsOf(60, true, false, c.beta), L"alpha",
         L"gamma"},
        {"a new password with the old verifier", &c.root, settingsOf(60, true, false, c.alpha), L"alpha", L"alpha"},
        {"a limit out of range", &c.root, settingsOf(1441, true, false, c.alpha), L"alpha", std::nullopt},
        {"a verifier that is none", &c.root, settingsOf(60, true, false, L"pbkdf2-sha256$1$x"), L"alpha", std::nullopt},
        {"a previous line that is no record", &c.fork, settingsOf(60, true, false, c.alpha), L"alpha", std::nullopt},
    };
    const std::string notARecord = c.fork.substr(0, c.fork.size() - 1);
    for (const auto& r : refused) {
        const std::string& previous = r.previous == &c.fork ? notARecord : *r.previous;
        const std::optional<std::wstring_view> newPassword =
            r.newPassword ? std::optional<std::wstring_view>(*r.newPassword) : std::nullopt;
        EXPECT_FALSE(makeNextSettingsRecord(previous, r.settings, r.typed, newPassword)) << r.what;
    }
    // Setup's record: the password must match the verifier, and no verifier takes no password.
    EXPECT_FALSE(makeFirstSettingsRecord(settingsOf(120, true, false, c.alpha), L"beta"));
    EXPECT_FALSE(makeFirstSettingsRecord(settingsOf(120, true, false, L""), L"alpha"));
    EXPECT_FALSE(makeFirstSettingsRecord(settingsOf(0, true, false, L""), L""));
}

// An installation without a password: setup's record carries no key, and
// anyone's record after it counts, as anyone may change settings then.
TEST_F(JournalSettingsLog, WithoutAPasswordFromTheStartRecordsNeedNoSignature)
{
    const Chain& c = chain();
    const std::optional<std::string> root = makeFirstSettingsRecord(settingsOf(100, false, false, L""), L"");
    ASSERT_TRUE(root);
    EXPECT_EQ(fieldOf(*root, "sig"), "-");
    EXPECT_EQ(fieldOf(*root, "pub"), "-");
    const std::optional<std::string> change =
        makeNextSettingsRecord(*root, settingsOf(150, true, false, L""), L"whatever", std::nullopt);
    ASSERT_TRUE(change);
    const std::optional<std::string> password =
        makeNextSettingsRecord(*change, settingsOf(150, true, true, c.alpha), L"", L"alpha");
    ASSERT_TRUE(password);
    const std::string digest = settingsRecordDigest(*root);
    const std::optional<SettingsInForce> inForce = checkSettingsLog(logOf({*root, *change, *password}), digest);
    ASSERT_TRUE(inForce);
    EXPECT_EQ(inForce->settings.dailyLimitMinutes, 150);
    EXPECT_EQ(inForce->settings.passwordVerifier, c.alpha);
    // Once the password is set, a change by anyone else is tampering.
    const std::string intruder = unsignedPart(
                                     makeNextSettingsRecord(*password, settingsOf(1440, true, false, c.alpha), L"alpha",
                                                            std::nullopt)
                                         .value_or("")) +
                                 " sig=-";
    EXPECT_FALSE(checkSettingsLog(logOf({*root, *change, *password, intruder}), digest));
}

}  // namespace

// The journal's cryptography through the system's bcrypt.dll: signatures
// that verify only unchanged and under their own key, sealing that opens only
// with its key and associated data, and nothing but failures when bcrypt.dll
// cannot be had.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/journalCrypto.h"
#include "core/passwordHash.h"
#include "libraryLoadSeam.h"
#include "storage/journal.h"

namespace {

SecretBytes secretOf(std::vector<uint8_t> bytes)
{
    return SecretBytes(std::move(bytes));
}

TEST(JournalCrypto, ASignatureVerifiesOnlyUnchangedAndUnderItsOwnKey)
{
    std::optional<SigningKeyPair> pair = generateSigningKey();
    std::optional<SigningKeyPair> other = generateSigningKey();
    ASSERT_TRUE(pair && other);
    EXPECT_EQ(pair->publicBlob.size(), kEcdsaPublicBlobBytes);
    EXPECT_EQ(pair->privateBlob.size(), kEcdsaPrivateBlobBytes);
    EXPECT_NE(pair->publicBlob, other->publicBlob);
    EXPECT_TRUE(isUsablePublicBlob(pair->publicBlob));

    const std::string message = "S seq=2 limit=90";
    const std::optional<std::vector<uint8_t>> signature = signMessage(pair->privateBlob, message);
    ASSERT_TRUE(signature);
    ASSERT_EQ(signature->size(), kEcdsaSignatureBytes);
    EXPECT_TRUE(verifyMessage(pair->publicBlob, message, *signature));
    EXPECT_FALSE(verifyMessage(other->publicBlob, message, *signature));
    EXPECT_FALSE(verifyMessage(pair->publicBlob, "S seq=2 limit=91", *signature));
    for (const size_t bit : {size_t{0}, size_t{255}, size_t{511}}) {
        std::vector<uint8_t> flipped = *signature;
        flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(verifyMessage(pair->publicBlob, message, flipped)) << bit;
    }
    EXPECT_FALSE(verifyMessage(pair->publicBlob, message, std::vector<uint8_t>(signature->begin(), signature->end() - 1)));
    EXPECT_FALSE(verifyMessage(pair->publicBlob, message, {}));
    // A private blob where a public one belongs, or a blob of the wrong size, verifies nothing.
    const std::vector<uint8_t> privateAsPublic(pair->privateBlob.data(),
                                               pair->privateBlob.data() + kEcdsaPublicBlobBytes);
    EXPECT_TRUE(hasPublicBlobHeader(pair->publicBlob));
    EXPECT_FALSE(hasPublicBlobHeader(privateAsPublic));
    EXPECT_FALSE(isUsablePublicBlob(privateAsPublic));
    EXPECT_FALSE(verifyMessage(privateAsPublic, message, *signature));
    EXPECT_FALSE(isUsablePublicBlob(std::vector<uint8_t>(kEcdsaPublicBlobBytes)));
}

TEST(JournalCrypto, SealedBytesOpenOnlyWithTheirKeyAndAssociatedData)
{
    const SecretBytes key = sealKeyFromPassword(L"alpha", {1, 2, 3, 4}, 1000);
    const SecretBytes otherKey = sealKeyFromPassword(L"alphb", {1, 2, 3, 4}, 1000);
    ASSERT_EQ(key.size(), kSealKeyBytes);
    const SecretBytes plaintext = secretOf({'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2});
    const std::vector<uint8_t> associated = {9, 8, 7};
    const std::optional<Sealed> sealed = sealBytes(key, plaintext, associated);
    const std::optional<Sealed> again = sealBytes(key, plaintext, associated);
    ASSERT_TRUE(sealed && again);
    EXPECT_EQ(sealed->nonce.size(), kSealNonceBytes);
    EXPECT_EQ(sealed->tag.size(), kSealTagBytes);
    EXPECT_NE(sealed->nonce, again->nonce) << "each sealing takes a fresh nonce";
    EXPECT_NE(sealed->ciphertext, std::vector<uint8_t>(plaintext.data(), plaintext.data() + plaintext.size()));

    const std::optional<SecretBytes> opened = openSealed(key, *sealed, associated);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::vector<uint8_t>(opened->data(), opened->data() + opened->size()),
              std::vector<uint8_t>(plaintext.data(), plaintext.data() + plaintext.size()));

    EXPECT_FALSE(openSealed(otherKey, *sealed, associated));
    EXPECT_FALSE(openSealed(key, *sealed, {9, 8, 6}));
    Sealed changed = *sealed;
    changed.ciphertext[0] ^= 1;
    EXPECT_FALSE(openSealed(key, changed, associated));
    changed = *sealed;
    changed.tag[15] ^= 0x80;
    EXPECT_FALSE(openSealed(key, changed, associated));
    changed = *sealed;
    changed.nonce[0] ^= 1;
    EXPECT_FALSE(openSealed(key, changed, associated));
}

// The sealing key is PBKDF2-HMAC-SHA256 of the password as UTF-8, the
// function the password's verifier uses (checked there against published vectors).
TEST(JournalCrypto, TheSealingKeyIsPbkdf2OfThePasswordAsUtf8)
{
    const std::vector<uint8_t> salt = {0xde, 0xad, 0xbe, 0xef};
    const SecretBytes key = sealKeyFromPassword(L"\u041f\u0430\u0440\u043e\u043b\u044c", salt, 3);
    const std::vector<uint8_t> expected =
        pbkdf2Sha256("\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c", "\xde\xad\xbe\xef", 3, kSealKeyBytes);
    ASSERT_EQ(expected.size(), kSealKeyBytes);
    EXPECT_EQ(std::vector<uint8_t>(key.data(), key.data() + key.size()), expected);
}

TEST(JournalCrypto, SecretsAreWipedAndMovedWithoutCopies)
{
    SecretBytes secret = secretOf({1, 2, 3, 4});
    const uint8_t* buffer = secret.data();
    SecretBytes moved(std::move(secret));
    EXPECT_EQ(moved.data(), buffer) << "the buffer is taken over, not copied";
    EXPECT_TRUE(secret.empty());
    moved.wipe();
    EXPECT_EQ(std::vector<uint8_t>(moved.data(), moved.data() + moved.size()), std::vector<uint8_t>(4, 0));
}

// Without bcrypt.dll every operation fails, and the settings log reads as
// nothing to trust.
TEST(JournalCrypto, WithoutBcryptEverythingFails)
{
    const std::optional<std::string> root = makeFirstSettingsRecord({}, L"");
    ASSERT_TRUE(root);
    const std::string digest = settingsRecordDigest(*root);
    ReplacedLibraryLoad refused(ReplacedLibraryLoad::Answer::Refuse);
    EXPECT_FALSE(randomBytes(16));
    EXPECT_FALSE(sha256Of("x"));
    EXPECT_FALSE(generateSigningKey());
    EXPECT_FALSE(sealBytes(SecretBytes(kSealKeyBytes), SecretBytes(4), {}));
    EXPECT_EQ(newDayLogName(L"2026-12-11"), L"");
    EXPECT_EQ(settingsRecordDigest(*root), "");
    EXPECT_FALSE(checkSettingsLog(*root + "\n", digest));
    EXPECT_FALSE(refused.requested().empty());
}

}  // namespace

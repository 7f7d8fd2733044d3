// The cryptography behind the journal, through the system's bcrypt.dll
// (loaded at the first use): random bytes, SHA-256, ECDSA P-256 keys and
// signatures, and AES-256-GCM for the private key kept in the settings log.
// Every function fails by its return value; secrets live in SecretBytes,
// which wipes them when it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// Sizes of what the settings log keeps: BCRYPT_ECCPUBLIC_BLOB and
// BCRYPT_ECCPRIVATE_BLOB for P-256 (an 8-byte header, then X and Y, and d for
// the private one), a signature as r and s.
inline constexpr size_t kSha256Bytes = 32;
inline constexpr size_t kEcdsaPublicBlobBytes = 8 + 2 * 32;
inline constexpr size_t kEcdsaPrivateBlobBytes = 8 + 3 * 32;
inline constexpr size_t kEcdsaSignatureBytes = 64;
inline constexpr size_t kSealKeyBytes = 32;
inline constexpr size_t kSealNonceBytes = 12;
inline constexpr size_t kSealTagBytes = 16;

// Bytes that must not outlive their use: wiped with SecureZeroMemory when
// replaced or destroyed. The size is fixed at construction, so the buffer is
// never reallocated behind a copy that would stay unwiped.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(size_t size) : bytes_(size) {}
    // Takes the buffer over without copying it.
    explicit SecretBytes(std::vector<uint8_t>&& bytes) : bytes_(std::move(bytes)) {}
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecretBytes& operator=(SecretBytes&& other) noexcept;

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    void wipe();

private:
    std::vector<uint8_t> bytes_;
};

// `count` bytes from the system's preferred generator; nullopt on failure.
std::optional<std::vector<uint8_t>> randomBytes(size_t count);

std::optional<std::vector<uint8_t>> sha256Of(std::string_view bytes);

struct SigningKeyPair {
    std::vector<uint8_t> publicBlob;  // BCRYPT_ECCPUBLIC_BLOB
    SecretBytes privateBlob;          // BCRYPT_ECCPRIVATE_BLOB
};

// A fresh ECDSA P-256 key pair, exported.
std::optional<SigningKeyPair> generateSigningKey();
// Whether `blob` has the size and header of a P-256 public blob (no system call).
bool hasPublicBlobHeader(const std::vector<uint8_t>& blob);
// Whether `blob` is a P-256 public blob the system imports.
bool isUsablePublicBlob(const std::vector<uint8_t>& blob);
// The signature of SHA-256(`message`) by the private blob; nullopt on failure.
std::optional<std::vector<uint8_t>> signMessage(const SecretBytes& privateBlob, std::string_view message);
// False for any signature that does not verify, and for any failure.
bool verifyMessage(const std::vector<uint8_t>& publicBlob, std::string_view message,
                   const std::vector<uint8_t>& signature);

// AES-256-GCM with `associated` authenticated but not encrypted.
struct Sealed {
    std::vector<uint8_t> nonce;
    std::vector<uint8_t> ciphertext;
    std::vector<uint8_t> tag;
};
// With a fresh random nonce; nullopt on failure.
std::optional<Sealed> sealBytes(const SecretBytes& key, const SecretBytes& plaintext,
                                const std::vector<uint8_t>& associated);
// Nullopt when the key is wrong or anything was changed, or on failure.
std::optional<SecretBytes> openSealed(const SecretBytes& key, const Sealed& sealed,
                                      const std::vector<uint8_t>& associated);

// The AES key for sealing a private key under `password` (as UTF-8):
// PBKDF2-HMAC-SHA256 with `salt` and `iterations`; empty on failure.
SecretBytes sealKeyFromPassword(std::wstring_view password, const std::vector<uint8_t>& salt, uint64_t iterations);

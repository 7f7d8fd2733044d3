#include "core/journalCrypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <string>

#include "base/scopedHandles.h"
#include "base/systemLibrary.h"
#include "core/passwordHash.h"
#include "storage/textFiles.h"

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// Loaded when the journal first needs it, as the password check loads it.
SystemLibrary bcryptLibrary(L"bcrypt.dll");

// The functions used here, all of them or none.
struct Bcrypt {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptSetProperty) setProperty = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptGenerateKeyPair) generateKeyPair = nullptr;
    decltype(&BCryptFinalizeKeyPair) finalizeKeyPair = nullptr;
    decltype(&BCryptExportKey) exportKey = nullptr;
    decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
    decltype(&BCryptGenerateSymmetricKey) generateSymmetricKey = nullptr;
    decltype(&BCryptDestroyKey) destroyKey = nullptr;
    decltype(&BCryptSignHash) signHash = nullptr;
    decltype(&BCryptVerifySignature) verifySignature = nullptr;
    decltype(&BCryptEncrypt) encrypt = nullptr;
    decltype(&BCryptDecrypt) decrypt = nullptr;
    decltype(&BCryptGenRandom) genRandom = nullptr;

    bool complete() const
    {
        return openAlgorithmProvider && closeAlgorithmProvider && setProperty && createHash && hashData &&
               finishHash && destroyHash && generateKeyPair && finalizeKeyPair && exportKey && importKeyPair &&
               generateSymmetricKey && destroyKey && signHash && verifySignature && encrypt && decrypt && genRandom;
    }
};

template <typename Function>
bool load(Function& function, const char* name)
{
    function = bcryptLibrary.function<Function>(name);
    return function != nullptr;
}

// False when bcrypt.dll or one of its functions cannot be had: every
// operation then fails as any other failure of the system's cryptography.
bool loadBcrypt(Bcrypt& functions)
{
    load(functions.openAlgorithmProvider, "BCryptOpenAlgorithmProvider");
    load(functions.closeAlgorithmProvider, "BCryptCloseAlgorithmProvider");
    load(functions.setProperty, "BCryptSetProperty");
    load(functions.createHash, "BCryptCreateHash");
    load(functions.hashData, "BCryptHashData");
    load(functions.finishHash, "BCryptFinishHash");
    load(functions.destroyHash, "BCryptDestroyHash");
    load(functions.generateKeyPair, "BCryptGenerateKeyPair");
    load(functions.finalizeKeyPair, "BCryptFinalizeKeyPair");
    load(functions.exportKey, "BCryptExportKey");
    load(functions.importKeyPair, "BCryptImportKeyPair");
    load(functions.generateSymmetricKey, "BCryptGenerateSymmetricKey");
    load(functions.destroyKey, "BCryptDestroyKey");
    load(functions.signHash, "BCryptSignHash");
    load(functions.verifySignature, "BCryptVerifySignature");
    load(functions.encrypt, "BCryptEncrypt");
    load(functions.decrypt, "BCryptDecrypt");
    load(functions.genRandom, "BCryptGenRandom");
    return functions.complete();
}

// The owners' release: an owner only ever holds a handle made after bcrypt.dll
// was loaded, and the module is never freed.
BOOL closeAlgorithm(BCRYPT_ALG_HANDLE algorithm)
{
    decltype(&BCryptCloseAlgorithmProvider) close = nullptr;
    return load(close, "BCryptCloseAlgorithmProvider") && succeeded(close(algorithm, 0));
}

BOOL destroyKey(BCRYPT_KEY_HANDLE key)
{
    decltype(&BCryptDestroyKey) destroy = nullptr;
    return load(destroy, "BCryptDestroyKey") && succeeded(destroy(key));
}

using AlgorithmHandle = Owned<BCRYPT_ALG_HANDLE, closeAlgorithm>;
using KeyHandle = Owned<BCRYPT_KEY_HANDLE, destroyKey>;

AlgorithmHandle openAlgorithm(const Bcrypt& functions, const wchar_t* name, ULONG flags = 0)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(functions.openAlgorithmProvider(&algorithm, name, nullptr, flags))) {
        return AlgorithmHandle();
    }
    return AlgorithmHandle(algorithm);
}

// bcrypt takes non-const pointers to buffers it only reads.
PUCHAR input(const void* bytes)
{
    return static_cast<PUCHAR>(const_cast<void*>(bytes));
}

std::optional<std::vector<uint8_t>> digestOf(const Bcrypt& functions, std::string_view bytes)
{
    const AlgorithmHandle algorithm = openAlgorithm(functions, BCRYPT_SHA256_ALGORITHM);
    if (!algorithm) {
        return std::nullopt;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(functions.createHash(algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        return std::nullopt;
    }
    std::vector<uint8_t> digest(kSha256Bytes);
    const bool done =
        succeeded(functions.hashData(hash, input(bytes.data()), static_cast<ULONG>(bytes.size()), 0)) &&
        succeeded(functions.finishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    functions.destroyHash(hash);
    if (!done) {
        return std::nullopt;
    }
    return digest;
}

bool exportBlob(const Bcrypt& functions, BCRYPT_KEY_HANDLE key, const wchar_t* type, uint8_t* bytes, size_t size)
{
    ULONG written = 0;
    return succeeded(functions.exportKey(key, nullptr, type, bytes, static_cast<ULONG>(size), &written, 0)) &&
           written == size;
}

KeyHandle importPair(const Bcrypt& functions, BCRYPT_ALG_HANDLE algorithm, const wchar_t* type, const uint8_t* blob,
                     size_t size)
{
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!succeeded(
            functions.importKeyPair(algorithm, nullptr, type, &key, input(blob), static_cast<ULONG>(size), 0))) {
        return KeyHandle();
    }
    return KeyHandle(key);
}

bool hasHeader(const uint8_t* blob, size_t size, size_t expectedSize, ULONG magic)
{
    if (size != expectedSize) {
        return false;
    }
    BCRYPT_ECCKEY_BLOB header = {};
    memcpy(&header, blob, sizeof header);
    return header.dwMagic == magic && header.cbKey == 32;
}

KeyHandle aesGcmKey(const Bcrypt& functions, const AlgorithmHandle& algorithm, const SecretBytes& key)
{
    if (key.size() != kSealKeyBytes) {
        return KeyHandle();
    }
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!succeeded(functions.generateSymmetricKey(algorithm.get(), &handle, nullptr, 0, input(key.data()),
                                                  static_cast<ULONG>(key.size()), 0))) {
        return KeyHandle();
    }
    return KeyHandle(handle);
}

AlgorithmHandle openAesGcm(const Bcrypt& functions)
{
    AlgorithmHandle algorithm = openAlgorithm(functions, BCRYPT_AES_ALGORITHM);
    if (!algorithm ||
        !succeeded(functions.setProperty(algorithm.get(), BCRYPT_CHAINING_MODE, input(BCRYPT_CHAIN_MODE_GCM),
                                         sizeof BCRYPT_CHAIN_MODE_GCM, 0))) {
        return AlgorithmHandle();
    }
    return algorithm;
}

}  // namespace

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept
{
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void SecretBytes::wipe()
{
    if (!bytes_.empty()) {
        SecureZeroMemory(bytes_.data(), bytes_.size());
    }
}

std::optional<std::vector<uint8_t>> randomBytes(size_t count)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    std::vector<uint8_t> bytes(count);
    if (functions == nullptr || (count > 0 && !succeeded(functions->genRandom(nullptr, bytes.data(),
                                                                              static_cast<ULONG>(count),
                                                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG)))) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::vector<uint8_t>> sha256Of(std::string_view bytes)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    return functions != nullptr ? digestOf(*functions, bytes) : std::nullopt;
}

std::optional<SigningKeyPair> generateSigningKey()
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    if (functions == nullptr) {
        return std::nullopt;
    }
    const AlgorithmHandle algorithm = openAlgorithm(*functions, BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE made = nullptr;
    if (!algorithm || !succeeded(functions->generateKeyPair(algorithm.get(), &made, 256, 0))) {
        return std::nullopt;
    }
    const KeyHandle key(made);
    SigningKeyPair pair;
    pair.publicBlob.resize(kEcdsaPublicBlobBytes);
    pair.privateBlob = SecretBytes(kEcdsaPrivateBlobBytes);
    if (!succeeded(functions->finalizeKeyPair(key.get(), 0)) ||
        !exportBlob(*functions, key.get(), BCRYPT_ECCPUBLIC_BLOB, pair.publicBlob.data(), pair.publicBlob.size()) ||
        !exportBlob(*functions, key.get(), BCRYPT_ECCPRIVATE_BLOB, pair.privateBlob.data(),
                    pair.privateBlob.size())) {
        return std::nullopt;
    }
    return pair;
}

bool hasPublicBlobHeader(const std::vector<uint8_t>& blob)
{
    return hasHeader(blob.data(), blob.size(), kEcdsaPublicBlobBytes, BCRYPT_ECDSA_PUBLIC_P256_MAGIC);
}

bool isUsablePublicBlob(const std::vector<uint8_t>& blob)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    if (functions == nullptr ||
        !hasHeader(blob.data(), blob.size(), kEcdsaPublicBlobBytes, BCRYPT_ECDSA_PUBLIC_P256_MAGIC)) {
        return false;
    }
    const AlgorithmHandle algorithm = openAlgorithm(*functions, BCRYPT_ECDSA_P256_ALGORITHM);
    return algorithm &&
           static_cast<bool>(importPair(*functions, algorithm.get(), BCRYPT_ECCPUBLIC_BLOB, blob.data(), blob.size()));
}

std::optional<std::vector<uint8_t>> signMessage(const SecretBytes& privateBlob, std::string_view message)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    if (functions == nullptr ||
        !hasHeader(privateBlob.data(), privateBlob.size(), kEcdsaPrivateBlobBytes, BCRYPT_ECDSA_PRIVATE_P256_MAGIC)) {
        return std::nullopt;
    }
    const std::optional<std::vector<uint8_t>> digest = digestOf(*functions, message);
    const AlgorithmHandle algorithm = openAlgorithm(*functions, BCRYPT_ECDSA_P256_ALGORITHM);
    if (!digest || !algorithm) {
        return std::nullopt;
    }
    const KeyHandle key =
        importPair(*functions, algorithm.get(), BCRYPT_ECCPRIVATE_BLOB, privateBlob.data(), privateBlob.size());
    std::vector<uint8_t> signature(kEcdsaSignatureBytes);
    ULONG written = 0;
    if (!key || !succeeded(functions->signHash(key.get(), nullptr, input(digest->data()),
                                              static_cast<ULONG>(digest->size()), signature.data(),
                                              static_cast<ULONG>(signature.size()), &written, 0)) ||
        written != signature.size()) {
        return std::nullopt;
    }
    return signature;
}

bool verifyMessage(const std::vector<uint8_t>& publicBlob, std::string_view message,
                   const std::vector<uint8_t>& signature)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    if (functions == nullptr || signature.size() != kEcdsaSignatureBytes ||
        !hasHeader(publicBlob.data(), publicBlob.size(), kEcdsaPublicBlobBytes, BCRYPT_ECDSA_PUBLIC_P256_MAGIC)) {
        return false;
    }
    const std::optional<std::vector<uint8_t>> digest = digestOf(*functions, message);
    const AlgorithmHandle algorithm = openAlgorithm(*functions, BCRYPT_ECDSA_P256_ALGORITHM);
    if (!digest || !algorithm) {
        return false;
    }
    const KeyHandle key =
        importPair(*functions, algorithm.get(), BCRYPT_ECCPUBLIC_BLOB, publicBlob.data(), publicBlob.size());
    return key && succeeded(functions->verifySignature(key.get(), nullptr, input(digest->data()),
                                                       static_cast<ULONG>(digest->size()), input(signature.data()),
                                                       static_cast<ULONG>(signature.size()), 0));
}

std::optional<Sealed> sealBytes(const SecretBytes& key, const SecretBytes& plaintext,
                                const std::vector<uint8_t>& associated)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    std::optional<std::vector<uint8_t>> nonce = randomBytes(kSealNonceBytes);
    if (functions == nullptr || !nonce) {
        return std::nullopt;
    }
    const AlgorithmHandle algorithm = openAesGcm(*functions);
    const KeyHandle handle = algorithm ? aesGcmKey(*functions, algorithm, key) : KeyHandle();
    if (!handle) {
        return std::nullopt;
    }
    Sealed sealed;
    sealed.nonce = std::move(*nonce);
    sealed.ciphertext.resize(plaintext.size());
    sealed.tag.resize(kSealTagBytes);
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = sealed.nonce.data();
    info.cbNonce = static_cast<ULONG>(sealed.nonce.size());
    info.pbAuthData = associated.empty() ? nullptr : input(associated.data());
    info.cbAuthData = static_cast<ULONG>(associated.size());
    info.pbTag = sealed.tag.data();
    info.cbTag = static_cast<ULONG>(sealed.tag.size());
    ULONG written = 0;
    if (!succeeded(functions->encrypt(handle.get(), input(plaintext.data()), static_cast<ULONG>(plaintext.size()),
                                      &info, nullptr, 0, sealed.ciphertext.data(),
                                      static_cast<ULONG>(sealed.ciphertext.size()), &written, 0)) ||
        written != plaintext.size()) {
        return std::nullopt;
    }
    return sealed;
}

std::optional<SecretBytes> openSealed(const SecretBytes& key, const Sealed& sealed,
                                      const std::vector<uint8_t>& associated)
{
    Bcrypt loaded;
    const Bcrypt* functions = loadBcrypt(loaded) ? &loaded : nullptr;
    if (functions == nullptr || sealed.nonce.size() != kSealNonceBytes || sealed.tag.size() != kSealTagBytes) {
        return std::nullopt;
    }
    const AlgorithmHandle algorithm = openAesGcm(*functions);
    const KeyHandle handle = algorithm ? aesGcmKey(*functions, algorithm, key) : KeyHandle();
    if (!handle) {
        return std::nullopt;
    }
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = input(sealed.nonce.data());
    info.cbNonce = static_cast<ULONG>(sealed.nonce.size());
    info.pbAuthData = associated.empty() ? nullptr : input(associated.data());
    info.cbAuthData = static_cast<ULONG>(associated.size());
    info.pbTag = input(sealed.tag.data());
    info.cbTag = static_cast<ULONG>(sealed.tag.size());
    SecretBytes plaintext(sealed.ciphertext.size());
    ULONG written = 0;
    if (!succeeded(functions->decrypt(handle.get(), input(sealed.ciphertext.data()),
                                      static_cast<ULONG>(sealed.ciphertext.size()), &info, nullptr, 0,
                                      plaintext.data(), static_cast<ULONG>(plaintext.size()), &written, 0)) ||
        written != plaintext.size()) {
        return std::nullopt;
    }
    return plaintext;
}

SecretBytes sealKeyFromPassword(std::wstring_view password, const std::vector<uint8_t>& salt, uint64_t iterations)
{
    std::string utf8 = utf16ToUtf8(password);
    SecretBytes key(pbkdf2Sha256(utf8, std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()),
                                 iterations, kSealKeyBytes));
    if (!utf8.empty()) {
        SecureZeroMemory(utf8.data(), utf8.size());
    }
    return key;
}

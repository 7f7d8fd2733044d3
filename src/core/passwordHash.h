// The settings password as it is kept on disk: a salted PBKDF2-HMAC-SHA256
// hash, "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Chosen so that one check costs about a tenth of a second (about 95 ms,
// measured under Wine on the development machine).
constexpr uint32_t kPasswordHashIterations = 80000;
constexpr size_t kPasswordSaltBytes = 16;
constexpr size_t kPasswordHashBytes = 32;

// The encoded hash of `password` (hashed as UTF-8) with a fresh random salt;
// empty when the system's cryptography fails.
std::wstring hashPassword(std::wstring_view password);
// Whether `stored` is in the hashed form (an older file holds the password itself).
bool isPasswordHash(std::wstring_view stored);
// Whether `password` matches the encoded hash `stored`. A malformed value
// matches nothing. The comparison takes the same time wherever the bytes differ.
bool verifyPasswordHash(std::wstring_view password, std::wstring_view stored);

// PBKDF2-HMAC-SHA256 of `password` and `salt`; empty on failure.
std::vector<uint8_t> pbkdf2Sha256(std::string_view password, std::string_view salt, uint64_t iterations,
                                  size_t length);
// Standard base64 with padding.
std::string encodeBase64(const std::vector<uint8_t>& bytes);
// False for anything but canonical padded base64.
bool decodeBase64(std::string_view text, std::vector<uint8_t>& bytes);

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace quippet::server {

// How hard a password hash is to compute. Interactive is what a server uses; Minimal keeps test accounts cheap
// (the cost is written into each hash, so verification follows whatever the hash was made with).
enum class HashCost { Interactive, Minimal };

// Random secrets, hashes of what is stored, and passwords (Argon2id through libsodium).
namespace secrets {

bool initialise();                      // once per process, before any other call
QByteArray randomToken(int bytes = 32); // URL-safe base64 without padding
QString userCode();                     // "BCDF-GHJK": easy to read and type, 8 letters of 20
QByteArray sha256Hex(const QByteArray& secret);
std::optional<QByteArray> hashPassword(const QByteArray& password, HashCost cost);
bool verifyPassword(const QByteArray& hash, const QByteArray& password);
// Compares without leaking where two values first differ.
bool equal(const QByteArray& a, const QByteArray& b);

} // namespace secrets
} // namespace quippet::server

#include "server/Secrets.h"

#include <QCryptographicHash>

#include <sodium.h>

namespace quippet::server::secrets {

bool initialise() {
    return sodium_init() >= 0;
}

QByteArray randomToken(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString userCode() {
    static constexpr char kLetters[] = "BCDFGHJKLMNPQRSTVWXZ";
    QString code;
    for (int i = 0; i < 8; ++i) {
        if (i == 4)
            code += QLatin1Char('-');
        code += QLatin1Char(kLetters[randombytes_uniform(20)]);
    }
    return code;
}

QByteArray sha256Hex(const QByteArray& secret) {
    return QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex();
}

std::optional<QByteArray> hashPassword(const QByteArray& password, HashCost cost) {
    char out[crypto_pwhash_STRBYTES];
    const bool minimal = cost == HashCost::Minimal;
    if (crypto_pwhash_str_alg(out, password.constData(), size_t(password.size()),
                              minimal ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              minimal ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return QByteArray(out);
}

bool verifyPassword(const QByteArray& hash, const QByteArray& password) {
    if (hash.isEmpty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(hash.constData(), password.constData(), size_t(password.size())) == 0;
}

bool equal(const QByteArray& a, const QByteArray& b) {
    return a.size() == b.size() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace quippet::server::secrets

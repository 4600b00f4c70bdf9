#pragma once

#include "secrets/Keychain.h"

#include <QHash>
#include <QMutex>

namespace quippet::test {

// An in-memory secret store that can refuse writes. Thread-safe: providers read it from worker threads.
class MemorySecretStore final : public SecretStore {
public:
    std::optional<QString> readRaw(const QString& service, const QString& account) override {
        QMutexLocker lock(&m_mutex);
        const auto it = m_items.constFind(key(service, account));
        if (it == m_items.constEnd())
            return std::nullopt;
        return *it;
    }
    bool write(const QString& service, const QString& value, const QString& account) override {
        QMutexLocker lock(&m_mutex);
        if (m_failWrites)
            return false;
        m_items.insert(key(service, account), value);
        return true;
    }
    void remove(const QString& service, const QString& account) override {
        QMutexLocker lock(&m_mutex);
        m_items.remove(key(service, account));
    }

    void setFailWrites(bool fail) { m_failWrites = fail; }

private:
    static QString key(const QString& service, const QString& account) { return service + QChar(0) + account; }
    mutable QMutex m_mutex;
    QHash<QString, QString> m_items;
    bool m_failWrites = false;
};

} // namespace quippet::test

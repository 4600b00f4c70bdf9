#include "secrets/LibsecretStore.h"

// glib uses "signals" as an identifier; Qt defines it as a keyword.
#undef signals
#include <libsecret/secret.h>
#define signals Q_SIGNALS

#include <QCoreApplication>
#include <QThread>

#include <future>
#include <memory>
#include <thread>

namespace quippet {

namespace {

const SecretSchema* schema() {
    // DONT_MATCH_NAME: items stored by other tools (secret-tool adds no schema name) are found by their attributes.
    static const SecretSchema s = {"app.quippet.Secret",
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

struct Outcome {
    bool ok = false;
    bool locked = false; // the item exists but the keyring is locked
    std::optional<QString> value;
    QString error; // empty unless the Secret Service reported a failure
};

QString takeError(GError* error) {
    if (!error)
        return {};
    QString message = QString::fromUtf8(error->message);
    g_error_free(error);
    return message;
}

// Waits for `result` at most `timeout`. On the application's thread the event loop keeps running meanwhile (without
// user input, so no action can start another one halfway), so a slow keyring or an unlock prompt never freezes
// the interface.
bool waitFor(std::future<Outcome>& result, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const bool pumpEvents =
        QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
    while (result.wait_for(pumpEvents ? std::chrono::milliseconds(10) : timeout) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (pumpEvents)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    return true;
}

// Runs job on its own thread and waits at most `timeout`. A job that overruns is cancelled and abandoned: its thread
// finishes on its own (libsecret gives up after D-Bus' own timeout) and its result is dropped.
Outcome bounded(std::chrono::milliseconds timeout, std::function<Outcome(GCancellable*)> job, bool* timedOut) {
    GCancellable* cancellable = g_cancellable_new();
    auto task = std::make_shared<std::packaged_task<Outcome()>>([job = std::move(job), cancellable] {
        Outcome outcome = job(cancellable);
        g_object_unref(cancellable);
        return outcome;
    });
    std::future<Outcome> result = task->get_future();
    g_object_ref(cancellable);
    std::thread([task] { (*task)(); }).detach();
    if (!waitFor(result, timeout)) {
        g_cancellable_cancel(cancellable);
        g_object_unref(cancellable);
        *timedOut = true;
        return {};
    }
    g_object_unref(cancellable);
    *timedOut = false;
    return result.get();
}

// One diagnostics line for a call that overran or failed; `failed` holds %2 for the service's own description.
void report(const NoteFn& note, bool timedOut, bool ok, const QString& error, const QString& stuck,
            const QString& failed) {
    if (!note)
        return;
    if (timedOut)
        note(stuck);
    else if (!ok)
        note(failed.arg(error));
}

GHashTable* attributes(const QByteArray& service, const QByteArray& account) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(table, g_strdup("service"), g_strdup(service.constData()));
    g_hash_table_insert(table, g_strdup("account"), g_strdup(account.constData()));
    return table;
}

} // namespace

LibsecretStore::LibsecretStore(NoteFn note, std::chrono::milliseconds timeout, std::chrono::milliseconds promptTimeout)
    : m_note(std::move(note)), m_timeout(timeout), m_promptTimeout(promptTimeout) {}

std::optional<QString> LibsecretStore::readRaw(const QString& service, const QString& account) {
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    bool timedOut = false;
    // A quick look first: a locked keyring answers "nothing" at once, which is told apart from a missing item.
    Outcome outcome = bounded(
        m_timeout,
        [s, a](GCancellable* cancellable) {
            GError* error = nullptr;
            gchar* secret = secret_password_lookup_sync(schema(), cancellable, &error, "service", s.constData(),
                                                        "account", a.constData(), nullptr);
            Outcome out;
            out.error = takeError(error);
            out.ok = out.error.isEmpty();
            if (secret) {
                out.value = QString::fromUtf8(secret);
                secret_password_free(secret);
            } else if (out.ok) {
                GHashTable* attrs = attributes(s, a);
                GList* items =
                    secret_service_search_sync(nullptr, schema(), attrs, SECRET_SEARCH_ALL, cancellable, nullptr);
                g_hash_table_unref(attrs);
                for (GList* it = items; it; it = it->next)
                    out.locked = out.locked || secret_item_get_locked(static_cast<SecretItem*>(it->data));
                g_list_free_full(items, g_object_unref);
            }
            return out;
        },
        &timedOut);
    report(m_note, timedOut, outcome.error.isEmpty(), outcome.error,
           QStringLiteral("klucze: usługa haseł nie odpowiada — brak wartości „%1”").arg(service),
           QStringLiteral("klucze: nie można odczytać „%1”: %2").arg(service));
    if (!outcome.locked || m_unlockRefused)
        return outcome.value;

    // The keyring asks the user for its password: wait for the answer (generously), the service is alive.
    outcome = bounded(
        m_promptTimeout,
        [s, a](GCancellable* cancellable) {
            Outcome out;
            GError* error = nullptr;
            GHashTable* attrs = attributes(s, a);
            GList* items = secret_service_search_sync(
                nullptr, schema(), attrs, SecretSearchFlags(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
                cancellable, &error);
            g_hash_table_unref(attrs);
            out.error = takeError(error);
            out.ok = out.error.isEmpty();
            for (GList* it = items; it && !out.value; it = it->next) {
                auto* item = static_cast<SecretItem*>(it->data);
                if (secret_item_get_locked(item))
                    continue;
                out.locked = false;
                if (SecretValue* value = secret_item_get_secret(item)) {
                    out.value = QString::fromUtf8(secret_value_get_text(value));
                    secret_value_unref(value);
                }
            }
            out.locked = !out.value;
            g_list_free_full(items, g_object_unref);
            return out;
        },
        &timedOut);
    if (!outcome.value) {
        // Asked once: a dismissed prompt is not shown again at every read.
        m_unlockRefused = true;
        if (m_note)
            m_note(QStringLiteral("klucze: pęk kluczy pozostał zablokowany — brak wartości „%1”").arg(service));
    }
    return outcome.value;
}

bool LibsecretStore::write(const QString& service, const QString& value, const QString& account) {
    const QByteArray s = service.toUtf8(), a = account.toUtf8(), v = value.toUtf8();
    bool timedOut = false;
    // Only a service that answers at all gets the long wait a password prompt needs.
    bounded(
        m_timeout,
        [](GCancellable* cancellable) {
            Outcome out;
            GError* error = nullptr;
            if (SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, &error))
                g_object_unref(service);
            out.error = takeError(error);
            out.ok = out.error.isEmpty();
            return out;
        },
        &timedOut);
    if (timedOut) {
        if (m_note)
            m_note(QStringLiteral("klucze: usługa haseł nie odpowiada — „%1” nie zapisano").arg(service));
        return false;
    }
    m_unlockRefused = false; // saving is the user's own request: a locked keyring may ask again
    const Outcome outcome = bounded(
        m_promptTimeout,
        [s, a, v](GCancellable* cancellable) {
            Outcome out;
            GError* error = nullptr;
            GHashTable* attrs = attributes(s, a);
            GList* items = secret_service_search_sync(nullptr, schema(), attrs,
                                                      SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                                                      cancellable, &error);
            g_hash_table_unref(attrs);
            out.error = takeError(error);
            if (!out.error.isEmpty())
                return out;
            if (!items) {
                const QByteArray label = "Quippet: " + s;
                out.ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                                    v.constData(), cancellable, &error, "service", s.constData(),
                                                    "account", a.constData(), nullptr);
                out.error = takeError(error);
                return out;
            }
            // Replace the value in place, so the old secret is never gone before the new one is stored; then drop
            // any duplicates (items stored by hand beside ours), keeping one item per service and account.
            SecretValue* secret = secret_value_new(v.constData(), v.size(), "text/plain");
            auto* first = static_cast<SecretItem*>(items->data);
            out.ok = secret_item_set_secret_sync(first, secret, cancellable, &error);
            secret_value_unref(secret);
            out.error = takeError(error);
            if (out.ok) {
                for (GList* it = items->next; it; it = it->next)
                    secret_item_delete_sync(static_cast<SecretItem*>(it->data), cancellable, nullptr);
            }
            g_list_free_full(items, g_object_unref);
            return out;
        },
        &timedOut);
    report(m_note, timedOut, outcome.ok, outcome.error,
           QStringLiteral("klucze: usługa haseł nie odpowiada — „%1” nie zapisano").arg(service),
           QStringLiteral("klucze: nie zapisano „%1”: %2").arg(service));
    return outcome.ok;
}

void LibsecretStore::remove(const QString& service, const QString& account) {
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    bool timedOut = false;
    const Outcome outcome = bounded(
        m_timeout,
        [s, a](GCancellable* cancellable) {
            GError* error = nullptr;
            secret_password_clear_sync(schema(), cancellable, &error, "service", s.constData(), "account",
                                       a.constData(), nullptr);
            Outcome out;
            out.error = takeError(error);
            out.ok = out.error.isEmpty();
            return out;
        },
        &timedOut);
    report(m_note, timedOut, outcome.ok, outcome.error,
           QStringLiteral("klucze: usługa haseł nie odpowiada — „%1” nie usunięto").arg(service),
           QStringLiteral("klucze: nie usunięto „%1”: %2").arg(service));
}

} // namespace quippet

#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

namespace quippet::server {

// One HTTP/1.1 request to a provider whose answer is read as it arrives, on the calling thread's event loop: the
// socket's own read callback hands each decoded piece on, without the extra thread QNetworkAccessManager puts
// between the socket and its reply. https is verified against the system's certificates.
class UpstreamRequest : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;

    UpstreamRequest(QUrl url, QList<std::pair<QByteArray, QByteArray>> headers, QByteArray body, int idleTimeoutMs,
                    QObject* parent = nullptr);
    ~UpstreamRequest() override;
    void start();
    void abort();
    int status() const { return m_status; }
    QByteArray header(const QByteArray& name) const; // of the answer, by lower-case name

signals:
    void headReceived();                // status and headers are known
    void data(const QByteArray& bytes); // a piece of the body, decoded from the transfer encoding
    void finished(bool complete);       // complete: the whole body arrived; once

private:
    void onReadable();
    bool parseHead();
    void parseBody();
    void end(bool complete);

    QUrl m_url;
    QList<std::pair<QByteArray, QByteArray>> m_headers;
    QByteArray m_body;
    QSslSocket m_socket;
    QTimer m_idle;
    QByteArray m_buffer;
    int m_status = 0;
    QList<std::pair<QByteArray, QByteArray>> m_answerHeaders;
    enum class Body { Head, Chunked, Length, UntilClose, Done } m_mode = Body::Head;
    qint64 m_left = 0; // bytes left of the body (Length) or of the current chunk (Chunked; -1 awaiting a size)
    bool m_ended = false;
};

} // namespace quippet::server

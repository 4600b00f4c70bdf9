#include "support/Speech.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>

namespace quippet::test {

std::vector<float> speech(const QString& text, const QString& voice) {
    if (QStandardPaths::findExecutable(QStringLiteral("espeak-ng")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty())
        return {};
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("s.wav"));
    const QString raw = dir.filePath(QStringLiteral("s.raw"));
    if (QProcess::execute(QStringLiteral("espeak-ng"),
                          {QStringLiteral("-v"), voice, QStringLiteral("-w"), wav, text}) != 0)
        return {};
    if (QProcess::execute(QStringLiteral("sox"),
                          {wav, QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-e"),
                           QStringLiteral("floating-point"), QStringLiteral("-b"), QStringLiteral("32"),
                           QStringLiteral("-r"), QStringLiteral("48000"), QStringLiteral("-c"), QStringLiteral("1"),
                           raw}) != 0)
        return {};
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    std::vector<float> out(size_t(bytes.size()) / 4);
    std::memcpy(out.data(), bytes.constData(), out.size() * 4);
    return out;
}

bool writeWav(const QString& path, const std::vector<float>& samples, int sampleRate) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const auto bytes = quint32(samples.size() * 2);
    QDataStream out(&f);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + bytes);
    out.writeRawData("WAVEfmt ", 8);
    // PCM, mono, the rate, bytes per second, bytes per frame, bits per sample.
    out << quint32(16) << quint16(1) << quint16(1) << quint32(sampleRate) << quint32(sampleRate * 2) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << bytes;
    for (float s : samples)
        out << qint16(std::clamp(s, -1.0f, 1.0f) * 32767.0f);
    return out.status() == QDataStream::Ok;
}

double energy(const std::vector<float>& x, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i)
        e += double(x[i]) * x[i];
    return e;
}

double ratioDb(const std::vector<float>& a, const std::vector<float>& b, size_t from, size_t to) {
    return 10.0 * std::log10((energy(a, from, to) + 1e-12) / (energy(b, from, to) + 1e-12));
}

} // namespace quippet::test

#pragma once

#include <QString>

#include <vector>

namespace quippet::test {

// Spoken text from espeak-ng as 48 kHz mono float samples; empty when espeak-ng or sox is missing.
std::vector<float> speech(const QString& text, const QString& voice = QStringLiteral("en"));

// 16-bit mono WAV at the given rate, for paplay.
bool writeWav(const QString& path, const std::vector<float>& samples, int sampleRate = 48000);

double energy(const std::vector<float>& x, size_t from, size_t to);
// 10·log10 of the energy ratio a/b over [from, to).
double ratioDb(const std::vector<float>& a, const std::vector<float>& b, size_t from, size_t to);

} // namespace quippet::test

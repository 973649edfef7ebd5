// Text on the wire: our code page 1254 tables against Qt's own converter for the same code
// page, on a mebibyte of Turkish chat as it crosses the wire.
#include "common/benchmain.h"
#include "protocol/cp1254.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr qsizetype kSize = qsizetype(1) << 20;
constexpr const char *kQtName = "windows-1254";

struct Sample
{
    QString text;
    QByteArray bytes;
};

// Chat lines one after another, as the server relays them: "<NICK> message" with nothing
// in between. Mostly Turkish letters among ASCII, now and then a euro sign or curly quotes,
// which sit in the part of the code page that is not Latin-1.
Sample makeSample()
{
    static const std::array kNicks = {
        QStringLiteral("AYŞE"),    QStringLiteral("MEHMET"),  QStringLiteral("GÜLŞEN"),
        QStringLiteral("İBRAHİM"), QStringLiteral("ÇAĞRI"),   QStringLiteral("ÖZLEM"),
        QStringLiteral("UĞUR"),    QStringLiteral("KADİR42"), QStringLiteral("ŞÜKRÜ"),
    };
    static const std::array kMessages = {
        QStringLiteral("bugün akşam toplantı saat kaçta başlıyor?"),
        QStringLiteral("merhaba arkadaşlar, herkese günaydın"),
        QStringLiteral("yazıcı yine çalışmıyor, kağıt sıkışmış galiba"),
        QStringLiteral("öğle yemeğine kim geliyor? şu köşedeki lokantaya gidelim"),
        QStringLiteral("dosyayı paylaşılan klasöre koydum, bakabilir misiniz"),
        QStringLiteral("tamam"),
        QStringLiteral("çay demlendi :)"),
        QStringLiteral("fatura tutarı 1.250 € olmuş, “acil” diye yazmışlar"),
        QStringLiteral("IŞIK kesildi mi sizde de? İnternet de gitti"),
        QStringLiteral("görüşmek üzere, iyi hafta sonları"),
        QStringLiteral("sunucuyu yeniden başlatıyorum, 5 dakika sürer"),
        QStringLiteral("ğüşıöç ĞÜŞİÖÇ deneme"),
    };
    Sample s;
    s.text.reserve(kSize + 128);
    quint32 seed = 1254;
    while (s.text.size() < kSize) {
        seed = seed * 1664525u + 1013904223u;
        const QString &nick = kNicks[(seed >> 8) % kNicks.size()];
        const QString &message = kMessages[(seed >> 16) % kMessages.size()];
        s.text += QStringLiteral("<") + nick + QStringLiteral("> ") + message;
    }
    s.text.truncate(kSize);
    s.bytes = Cp1254::encode(s.text);
    return s;
}

const Sample &sample()
{
    static const Sample s = makeSample();
    return s;
}

void BM_DecodeOurs(benchmark::State &state)
{
    const QByteArray &bytes = sample().bytes;
    for (auto _ : state) {
        QString text = Cp1254::decode(bytes);
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void BM_DecodeQt(benchmark::State &state)
{
    QStringDecoder decoder(kQtName, QStringDecoder::Flag::Stateless);
    if (!decoder.isValid()) {
        state.SkipWithError("Qt has no windows-1254 decoder here");
        return;
    }
    const QByteArray &bytes = sample().bytes;
    for (auto _ : state) {
        QString text = decoder.decode(bytes);
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void BM_EncodeOurs(benchmark::State &state)
{
    const QString &text = sample().text;
    for (auto _ : state) {
        QByteArray bytes = Cp1254::encode(text);
        benchmark::DoNotOptimize(bytes.constData());
    }
    state.SetBytesProcessed(state.iterations() * sample().bytes.size());
}

void BM_EncodeQt(benchmark::State &state)
{
    QStringEncoder encoder(kQtName, QStringEncoder::Flag::Stateless);
    if (!encoder.isValid()) {
        state.SkipWithError("Qt has no windows-1254 encoder here");
        return;
    }
    const QString &text = sample().text;
    for (auto _ : state) {
        QByteArray bytes = encoder.encode(text);
        benchmark::DoNotOptimize(bytes.constData());
    }
    state.SetBytesProcessed(state.iterations() * sample().bytes.size());
}

// A fast codec that gets the text wrong would be no win; both must agree on the sample.
void checkAgreement()
{
    const Sample &s = sample();
    std::printf("sample: %lld bytes, %lld of them above 0x7F\n", qlonglong(s.bytes.size()),
                qlonglong(std::count_if(s.bytes.cbegin(), s.bytes.cend(),
                                        [](char c) { return uchar(c) >= 0x80; })));
    std::printf("ours round trip: %s\n",
                Cp1254::decode(s.bytes) == s.text && Cp1254::encode(s.text) == s.bytes ? "exact"
                                                                                       : "DIFFERS");
    QStringDecoder decoder(kQtName, QStringDecoder::Flag::Stateless);
    QStringEncoder encoder(kQtName, QStringEncoder::Flag::Stateless);
    if (!decoder.isValid() || !encoder.isValid()) {
        std::printf("Qt's %s: not available\n", kQtName);
        return;
    }
    const QString qtText = decoder.decode(s.bytes);
    const QByteArray qtBytes = encoder.encode(s.text);
    std::printf("Qt's %s agrees with ours: decode %s, encode %s\n", kQtName,
                qtText == s.text ? "yes" : "NO", qtBytes == s.bytes ? "yes" : "NO");
    std::fflush(stdout);
}

double mibPerSecond(const Timings &t, const std::string &name)
{
    const auto it = t.find(name);
    if (it == t.end() || it->second <= 0)
        return 0;
    return double(sample().bytes.size()) / (it->second / 1e9) / double(1 << 20);
}

} // namespace

BENCHMARK(BM_DecodeOurs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeQt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeOurs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeQt)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, [](const Timings &t) {
        checkAgreement();
        const double decodeOurs = mibPerSecond(t, "BM_DecodeOurs");
        const double decodeQt = mibPerSecond(t, "BM_DecodeQt");
        const double encodeOurs = mibPerSecond(t, "BM_EncodeOurs");
        const double encodeQt = mibPerSecond(t, "BM_EncodeQt");
        std::printf("decode: ours %.0f MiB/s, Qt %.0f MiB/s\n", decodeOurs, decodeQt);
        std::printf("encode: ours %.0f MiB/s, Qt %.0f MiB/s\n", encodeOurs, encodeQt);
        if (decodeOurs <= 0 || decodeQt <= 0 || encodeOurs <= 0 || encodeQt <= 0) {
            std::printf("speed ours / Qt's %s: not measured\n", kQtName);
            return;
        }
        // Round trip: one decode and one encode of the same mebibyte.
        const double roundTrip = (1 / decodeQt + 1 / encodeQt) / (1 / decodeOurs + 1 / encodeOurs);
        std::printf("speed ours / Qt's %s: decode %.2f, encode %.2f, round trip %.2f\n", kQtName,
                    decodeOurs / decodeQt, encodeOurs / encodeQt, roundTrip);
    });
}

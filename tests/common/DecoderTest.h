#pragma once
// Helpers shared by the decoder tests: byte spans over QByteArray, files spelled out byte by
// byte, and the checks every decoder's header validation goes through.

#include "imaging/decoders/Decoder.h"

#include <QByteArray>
#include <QImage>
#include <QTest>

#include <cstddef>
#include <initializer_list>

namespace oxlume::test {

inline imaging::Bytes bytesOf(const QByteArray &a)
{
    return {reinterpret_cast<const std::byte *>(a.constData()), size_t(a.size())};
}

// Bytes given as ints, so that values above 127 need no casts.
inline QByteArray raw(std::initializer_list<int> v)
{
    QByteArray a;
    for (int b : v)
        a.append(char(b));
    return a;
}

// An observer that cancels at the first chance.
struct CancelAtOnce : imaging::DecodeObserver {
    bool cancelled() const override { return true; }
};

// The decoded image, or a null one after printing why it failed.
template<typename Decode>
QImage decodeOrWarn(Decode decode, const QByteArray &file)
{
    imaging::DecodeObserver observer;
    auto r = decode(bytesOf(file), observer);
    if (!r)
        qWarning("%s", r.error().message.c_str());
    return r ? r.value() : QImage();
}

// Both the decoder and the header reader refuse data, and the decoder's message starts
// with message.
template<typename Decode, typename ReadInfo>
void verifyRejected(Decode decode, ReadInfo readInfo, const QByteArray &data,
                    const QString &message)
{
    imaging::DecodeObserver observer;
    auto r = decode(bytesOf(data), observer);
    QVERIFY(!r);
    QVERIFY2(QString::fromStdString(r.error().message).startsWith(message),
             r.error().message.c_str());
    QVERIFY(!readInfo(bytesOf(data)));
}

} // namespace oxlume::test

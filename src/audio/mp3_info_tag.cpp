#include "audio/mp3_info_tag.h"

#include <algorithm>
#include <array>
#include <cstring>

extern "C" {
#include <libavcodec/version.h>
}

namespace lyrane {

namespace {

constexpr quint32 kFramesFlag = 1;
constexpr quint32 kBytesFlag = 2;
constexpr quint32 kTocFlag = 4;
constexpr quint32 kQualityFlag = 8;
constexpr int kTocBytes = 100;
// The LAME extension, up to and without its own CRC.
constexpr int kExtensionBytes = 34;

void putBigEndian(char* at, quint64 value, int bytes) {
    for (int k = bytes - 1; k >= 0; --k) {
        at[k] = static_cast<char>(value & 0xff);
        value >>= 8;
    }
}

quint64 bigEndian(const char* at, int bytes) {
    quint64 value = 0;
    for (int k = 0; k < bytes; ++k) {
        value = (value << 8) | static_cast<uint8_t>(at[k]);
    }
    return value;
}

// The CRC of every byte value, so the music CRC over a whole file costs a look-up a byte.
constexpr std::array<quint16, 256> kCrcTable = [] {
    std::array<quint16, 256> table{};
    for (int value = 0; value < 256; ++value) {
        quint16 crc = static_cast<quint16>(value);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<quint16>((crc & 1) ? (crc >> 1) ^ 0xa001 : crc >> 1);
        }
        table[size_t(value)] = crc;
    }
    return table;
}();

} // namespace

quint16 mp3TagCrc(const char* data, qint64 size, quint16 crc) {
    for (qint64 k = 0; k < size; ++k) {
        crc = static_cast<quint16>((crc >> 8) ^
                                   kCrcTable[(crc ^ static_cast<uint8_t>(data[k])) & 0xff]);
    }
    return crc;
}

bool mp3InfoTagFits(const Mp3InfoTag& tag) {
    return tag.encoderDelay >= 0 && tag.encoderDelay < 4096 && tag.endPadding >= 0 &&
           tag.endPadding < 4096 && tag.frames >= 0 && tag.frames <= 0xffffffffLL &&
           tag.bytes >= 0 && tag.bytes <= 0xffffffffLL;
}

QByteArray makeMp3InfoFrame(const Mp3FramePattern& pattern, const Mp3InfoTag& tag) {
    const Mp3FrameHeader& header = pattern.header();
    const int size = pattern.unpaddedFrameBytes();
    const int info = header.headBytes();
    const int extension = info + 8 + 4 + 4 + kTocBytes + 4;
    if (extension + kExtensionBytes + 2 > size || !mp3InfoTagFits(tag)) {
        return QByteArray();
    }
    QByteArray frame(size, '\0');
    char* bytes = frame.data();
    putBigEndian(bytes, header.bits, 4);
    rewriteMp3FrameHead(reinterpret_cast<uint8_t*>(bytes), header, false, 0);

    std::memcpy(bytes + info, "Info", 4);
    putBigEndian(bytes + info + 4, kFramesFlag | kBytesFlag | kTocFlag | kQualityFlag, 4);
    putBigEndian(bytes + info + 8, quint64(tag.frames), 4);
    putBigEndian(bytes + info + 12, quint64(tag.bytes), 4);
    for (int k = 0; k < kTocBytes && tag.frames > 0 && tag.bytes > 0; ++k) {
        // Where k percent of the playing time begins, in 256ths of the stream.
        const qint64 at = size + pattern.frameOffset(k * tag.frames / kTocBytes);
        bytes[info + 16 + k] = static_cast<char>(std::min<qint64>(255, at * 256 / tag.bytes));
    }
    // Quality stays 0: it means nothing for a constant bit rate.

    char* lame = bytes + extension;
    const char ident[] = LIBAVCODEC_IDENT; // the encoder that made the frames, as FFmpeg names it
    std::memcpy(lame, ident, std::min<size_t>(9, sizeof(ident) - 1));
    lame[9] = 1; // revision 0, constant bit rate
    lame[20] = static_cast<char>(std::min(255, header.bitRate / 1000));
    putBigEndian(lame + 21, (quint64(tag.encoderDelay) << 12) | quint64(tag.endPadding), 3);
    putBigEndian(lame + 28, quint64(tag.bytes), 4); // music length: the tag's frame included
    putBigEndian(lame + 32, tag.musicCrc, 2);
    putBigEndian(lame + kExtensionBytes, mp3TagCrc(bytes, extension + kExtensionBytes), 2);
    return frame;
}

std::optional<Mp3InfoTag> readMp3InfoFrame(const QByteArray& frame) {
    const auto* raw = reinterpret_cast<const uint8_t*>(frame.constData());
    const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(raw, frame.size());
    if (!header || header->frameBytes() != frame.size()) {
        return std::nullopt;
    }
    const char* bytes = frame.constData();
    const int info = header->headBytes();
    if (info + 8 > frame.size() ||
        (std::memcmp(bytes + info, "Info", 4) != 0 && std::memcmp(bytes + info, "Xing", 4) != 0)) {
        return std::nullopt;
    }
    const quint64 flags = bigEndian(bytes + info + 4, 4);
    if ((flags & kFramesFlag) == 0 || (flags & kBytesFlag) == 0) {
        return std::nullopt;
    }
    const int extension =
        info + 16 + ((flags & kTocFlag) ? kTocBytes : 0) + ((flags & kQualityFlag) ? 4 : 0);
    if (extension + kExtensionBytes + 2 > frame.size() ||
        bigEndian(bytes + extension + kExtensionBytes, 2) !=
            mp3TagCrc(bytes, extension + kExtensionBytes)) {
        return std::nullopt;
    }
    const char* lame = bytes + extension;
    Mp3InfoTag tag;
    tag.frames = qint64(bigEndian(bytes + info + 8, 4));
    tag.bytes = qint64(bigEndian(bytes + info + 12, 4));
    const quint64 delays = bigEndian(lame + 21, 3);
    tag.encoderDelay = int(delays >> 12);
    tag.endPadding = int(delays & 0xfff);
    tag.musicCrc = quint16(bigEndian(lame + 32, 2));
    return tag;
}

} // namespace lyrane

#include "audio/mp3_frame.h"

#include <numeric>

namespace lyrane {

namespace {

// Layer III bit rates in kbit/s by index; 0 is free format, 15 is forbidden.
constexpr int kMpeg1BitRates[15] = {0,   32,  40,  48,  56,  64,  80, 96,
                                    112, 128, 160, 192, 224, 256, 320};
constexpr int kLsfBitRates[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// Reads big-endian bit fields, as the side information is packed.
class BitReader {
public:
    explicit BitReader(const uint8_t* bytes) : m_bytes(bytes) {}
    int read(int count) {
        int value = 0;
        for (int k = 0; k < count; ++k, ++m_bit) {
            value = (value << 1) | ((m_bytes[m_bit / 8] >> (7 - m_bit % 8)) & 1);
        }
        return value;
    }
    void skip(int count) { m_bit += count; }

private:
    const uint8_t* m_bytes;
    int m_bit = 0;
};

// The frame's protection CRC: CRC-16 (0x8005, starting at all ones) over the last two header
// bytes and the side information.
quint16 protectionCrc(const uint8_t* frame, const Mp3FrameHeader& header) {
    quint16 crc = 0xffff;
    auto feed = [&crc](uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) & 1) != ((byte >> bit) & 1);
            crc = static_cast<quint16>(crc << 1);
            if (top) {
                crc ^= 0x8005;
            }
        }
    };
    feed(frame[2]);
    feed(frame[3]);
    for (int k = 0; k < header.sideInfoBytes(); ++k) {
        feed(frame[header.sideInfoOffset() + k]);
    }
    return crc;
}

} // namespace

int Mp3FrameHeader::sideInfoBytes() const {
    if (mpeg1) {
        return channels == 1 ? 17 : 32;
    }
    return channels == 1 ? 9 : 17;
}

int Mp3FrameHeader::frameBytes() const {
    const int slotsPerSecond = (mpeg1 ? 144 : 72) * bitRate;
    return slotsPerSecond / sampleRate + (padded ? 1 : 0);
}

bool sameMp3Layout(const Mp3FrameHeader& a, const Mp3FrameHeader& b) {
    return a.mpeg1 == b.mpeg1 && a.sampleRate == b.sampleRate && a.bitRate == b.bitRate &&
           a.channels == b.channels && a.crcProtected == b.crcProtected;
}

std::optional<Mp3FrameHeader> parseMp3FrameHeader(const uint8_t* bytes, qint64 available) {
    if (available < 4) {
        return std::nullopt;
    }
    const quint32 bits = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) |
                         (quint32(bytes[2]) << 8) | quint32(bytes[3]);
    const quint32 version = (bits >> 19) & 3;
    const quint32 layer = (bits >> 17) & 3;
    const quint32 bitRateIndex = (bits >> 12) & 15;
    const quint32 rateIndex = (bits >> 10) & 3;
    if ((bits >> 21) != 0x7ff || version == 1 || layer != 1 || bitRateIndex == 0 ||
        bitRateIndex == 15 || rateIndex == 3) {
        return std::nullopt;
    }
    static constexpr int kRates[3] = {44100, 48000, 32000};
    Mp3FrameHeader header;
    header.bits = bits;
    header.mpeg1 = version == 3;
    header.sampleRate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    header.bitRate = 1000 * (header.mpeg1 ? kMpeg1BitRates : kLsfBitRates)[bitRateIndex];
    header.channels = ((bits >> 6) & 3) == 3 ? 1 : 2;
    header.padded = ((bits >> 9) & 1) != 0;
    header.crcProtected = ((bits >> 16) & 1) == 0;
    return header;
}

Mp3SideInfo readMp3SideInfo(const uint8_t* frame, const Mp3FrameHeader& header) {
    BitReader bits(frame + header.sideInfoOffset());
    Mp3SideInfo info;
    if (header.mpeg1) {
        info.mainDataBegin = bits.read(9);
        bits.skip(header.channels == 1 ? 5 + 4 : 3 + 8); // private bits, scfsi
    } else {
        info.mainDataBegin = bits.read(8);
        bits.skip(header.channels); // private bits
    }
    for (int granule = 0; granule < header.granules(); ++granule) {
        int blockTypes = 0;
        for (int channel = 0; channel < header.channels; ++channel) {
            info.mainDataBits += bits.read(12);
            bits.skip(9 + 8 + (header.mpeg1 ? 4 : 9)); // big_values, global_gain, scalefac_compress
            int blockType = 0;
            if (bits.read(1) != 0) {
                blockType = bits.read(2);
                bits.skip(1 + 10 + 9); // mixed_block_flag, table_select, subblock_gain
            } else {
                bits.skip(15 + 4 + 3); // table_select, region0_count, region1_count
            }
            bits.skip(header.mpeg1 ? 3 : 2); // preflag (MPEG-1), scalefac_scale, count1table
            blockTypes |= blockType << (2 * channel);
        }
        info.lastBlockTypes = blockTypes;
    }
    return info;
}

void rewriteMp3FrameHead(uint8_t* frame, const Mp3FrameHeader& header, bool padded,
                         int mainDataBegin) {
    frame[2] = static_cast<uint8_t>(padded ? (frame[2] | 0x02) : (frame[2] & ~0x02));
    uint8_t* side = frame + header.sideInfoOffset();
    if (header.mpeg1) {
        side[0] = static_cast<uint8_t>(mainDataBegin >> 1);
        side[1] = static_cast<uint8_t>((side[1] & 0x7f) | ((mainDataBegin & 1) << 7));
    } else {
        side[0] = static_cast<uint8_t>(mainDataBegin);
    }
    if (header.crcProtected) {
        const quint16 crc = protectionCrc(frame, header);
        frame[4] = static_cast<uint8_t>(crc >> 8);
        frame[5] = static_cast<uint8_t>(crc & 0xff);
    }
}

Mp3FramePattern::Mp3FramePattern(const Mp3FrameHeader& anyFrame) : m_header(anyFrame) {
    m_header.padded = false;
    m_unpaddedBytes = m_header.frameBytes();
    const qint64 bytesTimesRate = qint64(m_header.mpeg1 ? 144 : 72) * m_header.bitRate;
    m_remainder = bytesTimesRate % m_header.sampleRate;
    m_period = m_header.sampleRate / std::gcd(m_remainder, qint64(m_header.sampleRate));
}

qint64 Mp3FramePattern::paddedBefore(qint64 index) const {
    // LAME pads frame n when ceil(n r / rate) grows: the first frame never is.
    if (index <= 0) {
        return 0;
    }
    const qint64 rate = m_header.sampleRate;
    return ((index - 1) * m_remainder + rate - 1) / rate;
}

qint64 Mp3FramePattern::frameOffset(qint64 index) const {
    return index * m_unpaddedBytes + paddedBefore(index);
}

qint64 Mp3FramePattern::payloadOffset(qint64 index) const {
    return index * (m_unpaddedBytes - m_header.headBytes()) + paddedBefore(index);
}

} // namespace lyrane

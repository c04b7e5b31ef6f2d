#include "imaging/decoders/HeifSizes.h"

#include "imaging/ByteReader.h"
#include "imaging/decoders/Failure.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oxlume::imaging {

namespace {

constexpr char kFormat[] = "HEIF";

constexpr uint32_t fourcc(const char (&s)[5])
{
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

struct Box {
    uint32_t type = 0;
    Bytes body;
};

// The boxes one after another in data; nullopt when a box's size runs past data's end,
// unless clip, which cuts such a box at the end (a file's top level, its mdat cut short).
std::optional<std::vector<Box>> childBoxes(Bytes data, bool clip = false)
{
    std::vector<Box> boxes;
    ByteReader r(data);
    while (r.remaining() > 0) {
        const size_t start = r.position();
        uint64_t size = r.u32be();
        const uint32_t type = r.u32be();
        if (size == 1)
            size = r.u64be();
        else if (size == 0) // to the end of the enclosing box
            size = data.size() - start;
        if (type == fourcc("uuid"))
            r.skip(16);
        const size_t header = r.position() - start;
        if (r.failed() || size < header)
            return clip ? std::optional(boxes) : std::nullopt;
        if (size - header > r.remaining()) {
            if (!clip)
                return std::nullopt;
            size = header + r.remaining();
        }
        boxes.push_back({type, r.take(size - header)});
    }
    return boxes;
}

// Reads the bits of one NAL unit's payload, emulation-prevention bytes already removed.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> bytes)
        : m_bytes(std::move(bytes))
    {
    }
    bool failed() const { return m_failed; }
    uint32_t bits(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_pos >= m_bytes.size() * 8) {
                m_failed = true;
                return 0;
            }
            v = (v << 1) | ((m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1u);
            ++m_pos;
        }
        return v;
    }
    void skip(int n)
    {
        for (; n > 32; n -= 32)
            bits(32);
        bits(n);
    }
    // Exp-Golomb ue(v), at most 32 bits of value.
    uint32_t ue()
    {
        int zeros = 0;
        while (!m_failed && bits(1) == 0)
            if (++zeros > 31) {
                m_failed = true;
                return 0;
            }
        return uint32_t((uint64_t(1) << zeros) - 1 + bits(zeros));
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_failed = false;
};

struct CodedSize {
    int64_t width = 0, height = 0;
};

// pic_width/height_in_luma_samples of an SPS NAL unit (its two-byte header included).
std::optional<CodedSize> spsSize(Bytes nal)
{
    std::vector<uint8_t> rbsp;
    rbsp.reserve(nal.size());
    int zeros = 0;
    for (size_t i = 2; i < nal.size(); ++i) {
        const auto b = uint8_t(nal[i]);
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        rbsp.push_back(b);
    }
    BitReader r(std::move(rbsp));
    r.bits(4); // sps_video_parameter_set_id
    const uint32_t subLayers = r.bits(3);
    if (subLayers > 6)
        return std::nullopt;
    r.bits(1); // sps_temporal_id_nesting_flag
    // profile_tier_level: the general profile (88 bits) and level (8), then per sub-layer
    // flags saying which of the same follow.
    r.skip(88 + 8);
    std::array<bool, 8> profilePresent{}, levelPresent{};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = r.bits(1) != 0;
        levelPresent[i] = r.bits(1) != 0;
    }
    if (subLayers > 0)
        r.skip(2 * int(8 - subLayers));
    for (uint32_t i = 0; i < subLayers; ++i)
        r.skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    r.ue();          // sps_seq_parameter_set_id
    if (r.ue() == 3) // chroma_format_idc 4:4:4: separate_colour_plane_flag
        r.bits(1);
    CodedSize size;
    size.width = r.ue();
    size.height = r.ue();
    if (r.failed())
        return std::nullopt;
    return size;
}

// Every SPS NAL unit of an hvcC box's arrays; nullopt when the box is cut short.
std::optional<std::vector<Bytes>> spsUnits(Bytes hvcC)
{
    std::vector<Bytes> units;
    ByteReader r(hvcC);
    r.skip(22); // the profile, level and format fields
    const int arrays = r.u8();
    for (int a = 0; a < arrays && !r.failed(); ++a) {
        r.u8(); // completeness and NAL unit type: the units' own headers are what counts
        const int count = r.u16be();
        for (int n = 0; n < count && !r.failed(); ++n) {
            const Bytes nal = r.take(r.u16be());
            if (nal.size() >= 2 && ((uint8_t(nal[0]) >> 1) & 0x3F) == 33)
                units.push_back(nal);
        }
    }
    if (r.failed())
        return std::nullopt;
    return units;
}

// A size the file's data will make libheif or its HEVC decoder allocate, against our limits
// and the largest image the file declares (its ispe boxes) plus slack.
Result<void> checkAllocated(const std::string &what, const CodedSize &size,
                            const CodedSize &declared, int64_t slack)
{
    const std::string claim = what + " of " + num(size.width) + " x " + num(size.height);
    if (size.width > kMaxImageSide || size.height > kMaxImageSide ||
        size.width * size.height > kMaxImagePixels)
        return failure(kFormat, claim + " exceeds the limit of " + num(kMaxImageSide) +
                                    " a side and " + num(kMaxImagePixels) + " pixels");
    if (size.width > declared.width + slack || size.height > declared.height + slack)
        return failure(kFormat, claim + " exceeds the declared " + num(declared.width) + " x " +
                                    num(declared.height));
    return {};
}

// The largest ispe of ipco, and the coded size of every SPS in its hvcC boxes.
Result<void> collectProperties(const std::vector<Box> &properties, CodedSize &declared,
                               std::vector<CodedSize> &coded)
{
    for (const Box &p : properties) {
        if (p.type == fourcc("ispe")) {
            ByteReader r(p.body, 4);
            const int64_t w = r.u32be(), h = r.u32be();
            if (!r.failed()) {
                declared.width = std::max(declared.width, w);
                declared.height = std::max(declared.height, h);
            }
        } else if (p.type == fourcc("hvcC")) {
            const auto units = spsUnits(p.body);
            if (!units)
                return failure(kFormat, "the HEVC configuration is cut short");
            for (Bytes nal : *units) {
                const auto size = spsSize(nal);
                if (!size)
                    return failure(kFormat, "HEVC sequence parameter set cannot be read");
                coded.push_back(*size);
            }
        }
    }
    return {};
}

// The grid and overlay items listed in iinf: their types by id.
std::map<uint32_t, uint32_t> derivedItems(Bytes iinf)
{
    std::map<uint32_t, uint32_t> items;
    ByteReader r(iinf);
    const bool wide = r.u8() != 0;
    r.skip(3 + (wide ? 4 : 2)); // flags, entry count
    const auto entries = childBoxes(r.failed() ? Bytes{} : r.rest());
    if (!entries)
        return items;
    for (const Box &infe : *entries) {
        ByteReader e(infe.body);
        const int version = e.u8();
        e.skip(3);
        if (infe.type != fourcc("infe") || version < 2)
            continue;
        const uint32_t id = version == 2 ? e.u16be() : e.u32be();
        e.skip(2); // protection index
        const uint32_t type = e.u32be();
        if (!e.failed() && (type == fourcc("grid") || type == fourcc("iovl")))
            items[id] = type;
    }
    return items;
}

// The longest head of a grid or overlay that holds its output size: an overlay's version,
// flags, four fill values and two 32-bit sides.
constexpr size_t kHeadBytes = 18;

// The first kHeadBytes of the data of each item in wanted, as iloc places them: in
// the file or in idat. One pass over iloc, however many items either lists.
std::map<uint32_t, std::vector<uint8_t>> itemHeads(Bytes file, Bytes iloc, Bytes idat,
                                                   const std::map<uint32_t, uint32_t> &wanted)
{
    std::map<uint32_t, std::vector<uint8_t>> heads;
    ByteReader r(iloc);
    const int version = r.u8();
    r.skip(3);
    const int sizes = r.u16be();
    const int offsetSize = sizes >> 12, lengthSize = (sizes >> 8) & 15;
    const int baseSize = (sizes >> 4) & 15, indexSize = version >= 1 ? sizes & 15 : 0;
    auto field = [&r](int bytes) -> uint64_t {
        if (bytes != 0 && bytes != 4 && bytes != 8) {
            r.skip(r.remaining() + 1); // no other widths exist
            return 0;
        }
        return bytes == 8 ? r.u64be() : bytes == 4 ? r.u32be() : 0;
    };
    const uint32_t count = version < 2 ? r.u16be() : r.u32be();
    for (uint32_t i = 0; i < count && !r.failed(); ++i) {
        const uint32_t item = version < 2 ? r.u16be() : r.u32be();
        const int method = version >= 1 ? r.u16be() & 15 : 0;
        r.u16be(); // data reference index
        const uint64_t base = field(baseSize);
        const int extents = r.u16be();
        const bool keep = wanted.contains(item) && (method == 0 || method == 1);
        for (int x = 0; x < extents && !r.failed(); ++x) {
            field(indexSize);
            const uint64_t offset = field(offsetSize), length = field(lengthSize);
            if (!keep || r.failed())
                continue;
            std::vector<uint8_t> &head = heads[item];
            ByteReader data(method == 0 ? file : idat);
            data.seek(base);
            data.skip(offset);
            const Bytes bytes =
                data.take(std::min<uint64_t>({length == 0 ? data.remaining() : length,
                                              data.remaining(), kHeadBytes - head.size()}));
            for (std::byte b : bytes)
                head.push_back(uint8_t(b));
        }
    }
    return heads;
}

// The output size of a grid or overlay from the head of its data.
std::optional<CodedSize> derivedSize(const std::vector<uint8_t> &head, uint32_t type)
{
    std::vector<std::byte> bytes(head.size());
    std::transform(head.begin(), head.end(), bytes.begin(), [](uint8_t b) { return std::byte(b); });
    ByteReader r(bytes);
    r.u8(); // version
    const bool wide = (r.u8() & 1) != 0;
    r.skip(type == fourcc("grid") ? 2 : 8); // rows and columns, or the canvas fill
    CodedSize size;
    size.width = wide ? r.u32be() : r.u16be();
    size.height = wide ? r.u32be() : r.u16be();
    if (r.failed())
        return std::nullopt;
    return size;
}

} // namespace

Result<void> checkDeclaredSizes(Bytes data)
{
    const Error cut = failure(kFormat, "the item properties are cut short");
    const auto top = childBoxes(data, true);
    for (const Box &meta : *top) {
        if (meta.type != fourcc("meta"))
            continue;
        const auto inMeta = childBoxes(meta.body.size() >= 4 ? meta.body.subspan(4) : Bytes{});
        if (!inMeta)
            return cut;
        CodedSize declared;
        std::vector<CodedSize> coded;
        Bytes iinf, iloc, idat;
        for (const Box &box : *inMeta) {
            if (box.type == fourcc("iinf"))
                iinf = box.body;
            else if (box.type == fourcc("iloc"))
                iloc = box.body;
            else if (box.type == fourcc("idat"))
                idat = box.body;
            if (box.type != fourcc("iprp"))
                continue;
            const auto inIprp = childBoxes(box.body);
            if (!inIprp)
                return cut;
            for (const Box &ipco : *inIprp) {
                if (ipco.type != fourcc("ipco"))
                    continue;
                const auto properties = childBoxes(ipco.body);
                if (!properties)
                    return cut;
                OX_TRY(collectProperties(*properties, declared, coded));
            }
        }
        // Coded sizes round up to whole coding blocks of at most 64 pixels.
        for (const CodedSize &c : coded)
            OX_TRY(checkAllocated("HEVC stream", c, declared, 64));
        const auto derived = derivedItems(iinf);
        for (const auto &[id, head] : itemHeads(data, iloc, idat, derived)) {
            const uint32_t type = derived.at(id);
            const auto size = derivedSize(head, type);
            if (size)
                OX_TRY(checkAllocated(type == fourcc("grid") ? "grid" : "overlay", *size, declared,
                                      0));
        }
    }
    return {};
}

} // namespace oxlume::imaging

// The saved-state encoding and the structural checks of loaded trees.
#include "core/serialize.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace tw {

namespace {
constexpr char kMagic[4] = {'T', 'W', 'S', 'T'};

// CRC-32 with zlib's reflected polynomial, eight bytes at a time through
// eight 256-entry tables (slicing by eight: table k advances a byte's
// contribution by k more bytes), then byte by byte for the tail. The value
// is the plain byte-at-a-time CRC's.
std::uint32_t crc32(std::string_view data) {
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 8> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i) {
            for (std::size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFFu] ^ (t[k - 1][i] >> 8);
        }
        return t;
    }();
    const auto& t = tables;
    std::uint32_t c = 0xFFFFFFFFu;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = c ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                      std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        c = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
            t[4][lo >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p) c = t[0][(c ^ *p) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}
}  // namespace

std::string Writer::bytes() const {
    std::string s = out_;
    const std::uint32_t crc = crc32(out_);
    s.append(reinterpret_cast<const char*>(&crc), 4);
    return s;
}

Writer::Writer(std::string_view tag, std::uint32_t version) {
    raw(kMagic, 4);
    text(tag);
    u32(version);
}

void Writer::text(std::string_view s) {
    u64(s.size());
    raw(s.data(), s.size());
}

void Writer::opt_u64(const std::optional<std::uint64_t>& v) {
    flag(v.has_value());
    if (v) u64(*v);
}

void Writer::opt_text(const std::optional<std::string>& v) {
    flag(v.has_value());
    if (v) text(*v);
}

void Writer::f64s(const std::vector<double>& v) {
    u64(v.size());
    raw(v.data(), v.size() * sizeof(double));
}

void Writer::u64s(const std::vector<std::uint64_t>& v) {
    u64(v.size());
    raw(v.data(), v.size() * sizeof(std::uint64_t));
}

void Writer::u32s(const std::vector<std::uint32_t>& v) {
    u64(v.size());
    raw(v.data(), v.size() * sizeof(std::uint32_t));
}

void Writer::tree(const Tree& t) {
    u64(t.n_features_used);
    u64(t.nodes.size());
    for (const Node& n : t.nodes) {
        f64(n.threshold);
        f64(n.value);
        u64(n.feature);
        u64(n.n_samples);
        u32(n.left);
        u32(n.right);
        u32(n.cw_begin);
        u32(n.cw_count);
        // The class-weight flag, with the missing side above it (a plain
        // flag byte for nodes without one).
        u8(static_cast<std::uint8_t>((n.has_class_weights ? 1 : 0) | (Tree::saved_missing(n) << 1)));
    }
    u64(t.class_weights.size());
    for (const ClassWeight& c : t.class_weights) {
        u64(c.cls);
        f64(c.weight);
    }
    if (!category_sets_) {
        if (t.has_categories()) throw InternalError("category sets need a format that holds them");
        return;
    }
    u64(t.category_sets.size());
    for (const CategorySet& set : t.category_sets) {
        for (const std::uint64_t word : set) u64(word);
    }
}

void Writer::trees(const std::vector<Tree>& ts) {
    u64(ts.size());
    for (const Tree& t : ts) tree(t);
}

void Reader::fail(const std::string& what) { throw ValueError("invalid saved state: " + what); }

Reader::Reader(std::string_view data, std::string_view tag, std::uint32_t max_version)
    : data_(data) {
    char magic[4];
    if (data_.size() < 4) fail("too short");
    raw(magic, 4);
    if (std::memcmp(magic, kMagic, 4) != 0) fail("not a tarnwood model state");
    if (data_.size() < 8) fail("too short");
    std::uint32_t stored;
    std::memcpy(&stored, data_.data() + data_.size() - 4, 4);
    data_ = data_.substr(0, data_.size() - 4);
    if (crc32(data_) != stored) fail("checksum mismatch");
    if (text() != tag) fail("the state belongs to another class");
    const std::uint32_t version = u32();
    if (version == 0 || version > max_version) fail("unsupported format version");
    version_ = version;
}

void Reader::raw(void* p, std::size_t n) {
    if (n > data_.size() - pos_) fail("truncated");
    // An empty vector's buffer may be null, which memcpy must not receive.
    if (n == 0) return;
    std::memcpy(p, data_.data() + pos_, n);
    pos_ += n;
}

bool Reader::flag() {
    const std::uint8_t v = u8();
    if (v > 1) fail("bad flag");
    return v == 1;
}

std::uint64_t Reader::count(std::size_t min_item_bytes) {
    const std::uint64_t n = u64();
    const std::size_t left = data_.size() - pos_;
    if (min_item_bytes > 0 && n > left / min_item_bytes) fail("length exceeds the data");
    if (min_item_bytes == 0 && n > (std::uint64_t{1} << 40)) fail("implausible length");
    return n;
}

std::string Reader::text() {
    const std::uint64_t n = count(1);
    std::string s(n, '\0');
    raw(s.data(), n);
    return s;
}

std::optional<std::uint64_t> Reader::opt_u64() {
    if (!flag()) return std::nullopt;
    return u64();
}

std::optional<std::string> Reader::opt_text() {
    if (!flag()) return std::nullopt;
    return text();
}

std::vector<double> Reader::f64s() {
    const std::uint64_t n = count(sizeof(double));
    std::vector<double> v(n);
    raw(v.data(), n * sizeof(double));
    return v;
}

std::vector<std::uint64_t> Reader::u64s() {
    const std::uint64_t n = count(sizeof(std::uint64_t));
    std::vector<std::uint64_t> v(n);
    raw(v.data(), n * sizeof(std::uint64_t));
    return v;
}

std::vector<std::uint32_t> Reader::u32s() {
    const std::uint64_t n = count(sizeof(std::uint32_t));
    std::vector<std::uint32_t> v(n);
    raw(v.data(), n * sizeof(std::uint32_t));
    return v;
}

Tree Reader::tree() {
    Tree t;
    t.n_features_used = u64();
    const std::uint64_t n_nodes = count(8 * 4 + 4 * 4 + 1);
    t.nodes.resize(n_nodes);
    for (Node& n : t.nodes) {
        n.threshold = f64();
        n.value = f64();
        const std::uint64_t feature = u64();
        if (feature > std::numeric_limits<std::uint32_t>::max()) fail("bad feature");
        n.feature = static_cast<std::uint32_t>(feature);
        n.n_samples = u64();
        n.left = u32();
        n.right = u32();
        n.cw_begin = u32();
        n.cw_count = u32();
        const std::uint8_t bits = u8();
        // A side is kept only when taught (kMissingSeen, maybe kMissingLeft).
        const std::uint8_t side = static_cast<std::uint8_t>((bits >> 1) & ~kCategorical);
        if ((bits & ~(category_sets_ ? 0x1F : 0x0F)) != 0 || (bits & 0x0E) > (missing_sides_ ? 6 : 0) ||
            (side != 0 && (side & kMissingSeen) == 0)) {
            fail("bad flag");
        }
        n.has_class_weights = (bits & 1) != 0;
        n.missing = static_cast<std::uint8_t>(bits >> 1);
    }
    const std::uint64_t n_cw = count(16);
    t.class_weights.resize(n_cw);
    for (ClassWeight& c : t.class_weights) {
        c.cls = u64();
        c.weight = f64();
    }
    if (category_sets_) {
        t.category_sets.resize(count(32));
        for (CategorySet& set : t.category_sets) {
            for (std::uint64_t& word : set) word = u64();
        }
    }
    check_tree(t);
    return t;
}

std::vector<Tree> Reader::trees() {
    const std::uint64_t n = count(16);
    std::vector<Tree> ts;
    ts.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) ts.push_back(tree());
    return ts;
}

void Reader::finish() const {
    if (pos_ != data_.size()) fail("trailing bytes");
}

void check_tree(const Tree& t) {
    const std::size_t n = t.nodes.size();
    if (n == 0) Reader::fail("empty tree");
    if (n > std::numeric_limits<std::uint32_t>::max()) Reader::fail("tree too large");
    // Pre-order: a split node's left child is the next node and its right
    // child comes after the whole left subtree. Checking left == i + 1 and
    // i + 1 < right < n and that every node but the root is reached exactly
    // once guarantees every walk ends at a leaf.
    std::vector<std::uint8_t> reached(n, 0);
    reached[0] = 1;
    std::uint64_t max_feature_plus_one = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = t.nodes[i];
        if ((node.left == 0) != (node.right == 0)) Reader::fail("split node with one child");
        if (node.left != 0) {
            if (node.left != i + 1 || node.right <= node.left || node.right >= n) {
                Reader::fail("child index out of order");
            }
            if (reached[node.left]++ || reached[node.right]++) Reader::fail("shared child");
            max_feature_plus_one = std::max(max_feature_plus_one, std::uint64_t{node.feature} + 1);
            if (node.has_class_weights || node.cw_count != 0) Reader::fail("split node with class weights");
            if (node.is_categorical() && node.cw_begin >= t.category_sets.size()) {
                Reader::fail("category set out of range");
            }
        } else if (node.is_categorical()) {
            Reader::fail("category set at a leaf");
        } else if (node.cw_count != 0 &&
                   (node.cw_begin > t.class_weights.size() ||
                    node.cw_count > t.class_weights.size() - node.cw_begin)) {
            Reader::fail("class weights out of range");
        }
        if (!node.has_class_weights && node.cw_count != 0) Reader::fail("class weights without flag");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!reached[i]) Reader::fail("unreachable node");
    }
    if (t.n_features_used != max_feature_plus_one) Reader::fail("feature count mismatch");
}

void check_leaf_kind(const Tree& t, bool classification) {
    for (const Node& node : t.nodes) {
        if (node.is_leaf() && node.has_class_weights != classification) {
            Reader::fail(classification ? "regression leaf in a classification tree"
                                        : "classification leaf in a regression tree");
        }
    }
}

}  // namespace tw

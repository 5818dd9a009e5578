// A small checked binary format for saving fitted models (pickling).
// Writer appends little-endian fixed-width values; Reader checks every read
// against the buffer's end and throws ValueError on anything malformed, so a
// corrupted or foreign state can never be read out of range.
//
// State: the bytes one model saves. Tag: the class name a state starts with,
// so that one class refuses another's state. Version: the layout number of
// a class's fields, raised whenever that layout changes.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "tree/tree.hpp"

namespace tw {

class Writer {
public:
    // Every state starts with a magic, the class tag and the format version.
    Writer(std::string_view tag, std::uint32_t version);

    void u8(std::uint8_t v) { raw(&v, 1); }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void f64(double v) { raw(&v, 8); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void text(std::string_view s);
    void opt_u64(const std::optional<std::uint64_t>& v);
    void opt_text(const std::optional<std::string>& v);
    // Uniform names, so that one field list can drive both writing and
    // reading (see Reader::field).
    void field(std::uint64_t v) { u64(v); }
    void field(double v) { f64(v); }
    void field(bool v) { flag(v); }
    void field(const std::optional<std::uint64_t>& v) { opt_u64(v); }
    void field(const std::optional<std::string>& v) { opt_text(v); }
    void f64s(const std::vector<double>& v);
    void u64s(const std::vector<std::uint64_t>& v);
    void u32s(const std::vector<std::uint32_t>& v);
    void tree(const Tree& t);
    void trees(const std::vector<Tree>& ts);

    // Whether the trees written next keep their category sets (a format
    // that holds them); without, a tree with such sets cannot be written.
    void write_category_sets(bool write) { category_sets_ = write; }

    // The state, followed by a CRC-32 (zlib's) of everything before it, so
    // that accidental damage is caught before any field is read.
    std::string bytes() const;

private:
    void raw(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
    std::string out_;
    bool category_sets_ = false;
};

class Reader {
public:
    // Checks the magic, the checksum, the tag and that the version is one
    // this build reads.
    Reader(std::string_view data, std::string_view tag, std::uint32_t max_version);

    std::uint8_t u8() { std::uint8_t v; raw(&v, 1); return v; }
    std::uint32_t u32() { std::uint32_t v; raw(&v, 4); return v; }
    std::uint64_t u64() { std::uint64_t v; raw(&v, 8); return v; }
    double f64() { double v; raw(&v, 8); return v; }
    bool flag();
    std::string text();
    std::optional<std::uint64_t> opt_u64();
    std::optional<std::string> opt_text();
    void field(std::uint64_t& v) { v = u64(); }
    void field(double& v) { v = f64(); }
    void field(bool& v) { v = flag(); }
    void field(std::optional<std::uint64_t>& v) { v = opt_u64(); }
    void field(std::optional<std::string>& v) { v = opt_text(); }
    std::vector<double> f64s();
    std::vector<std::uint64_t> u64s();
    std::vector<std::uint32_t> u32s();
    Tree tree();
    std::vector<Tree> trees();
    // A count of items each at least `min_item_bytes` long: rejects counts the
    // remaining bytes cannot hold, so a corrupted count never allocates wildly.
    std::uint64_t count(std::size_t min_item_bytes);
    // Call after the last field: trailing bytes mean a malformed state.
    void finish() const;
    // The format version the state was written with.
    std::uint32_t version() const { return version_; }
    // Whether the trees read next may carry missing sides (Node::missing);
    // states of formats without them refuse such nodes.
    void allow_missing_sides(bool allow) { missing_sides_ = allow; }
    // Whether the trees read next carry their category sets (a list after
    // the class weights; Tree::category_sets). Implies missing sides.
    void allow_category_sets(bool allow) {
        category_sets_ = allow;
        if (allow) missing_sides_ = true;
    }

    [[noreturn]] static void fail(const std::string& what);

private:
    void raw(void* p, std::size_t n);
    std::string_view data_;
    std::size_t pos_ = 0;
    std::uint32_t version_ = 0;
    bool missing_sides_ = false;
    bool category_sets_ = false;
};

// Checks the structural invariants every walk relies on: pre-order children
// (left = i + 1, right > left), every index in range, leaf class-weight
// ranges inside the side array, and n_features_used covering every split.
void check_tree(const Tree& t);

// Checks that every leaf of an already checked tree carries a class-weight
// map (classification trees) or none (regression trees).
void check_leaf_kind(const Tree& t, bool classification);

}  // namespace tw

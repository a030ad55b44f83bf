// The open-addressed table under the string containers: growth, erasure by backward shift,
// collisions, ids crafted to collide, insertion order, and failed allocations.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/id_set.hpp"
#include "core/open_table.hpp"
#include "core/ordered.hpp"
#include "core/runtime/claims.hpp"
#include "core/text_hash.hpp"

#include "check.hpp"

// Allocation failure on demand: the n-th allocation from now throws.
namespace {
long fail_in = -1;
}

void* operator new(std::size_t size) {
    if (fail_in == 0) {
        fail_in = -1;
        throw std::bad_alloc();
    }
    if (fail_in > 0) --fail_in;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The nothrow forms fail alike (the containers give memory back through them), and must pair
// with the replaced deletes.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace qsc {

struct TableProbe {
    template <class C>
    static const auto& table(const C& c) {
        return c.table_;
    }
    template <class V>
    static std::size_t slab_capacity(const IdMap<V>& map) {
        return map.capacity_;
    }
    // How many slots a lookup of `key` reads in a container's table.
    template <class C>
    static std::size_t probes(const C& c, const HashedText& key) {
        if constexpr (requires { C::narrow(key); }) return c.table_.probes(C::narrow(key), typename C::Keys(c));
        else return c.table_.probes(key);
    }
};

}  // namespace qsc

namespace {

using namespace std::string_literals;
using qsc::IdMap;
using qsc::IdSet;
using qsc::HashedText;
using qsc::OrderedMap;
using qsc::TableProbe;

// Entries whose hash the test chooses, to collide at will.
struct Item {
    std::string key;
    std::uint64_t hash;
    HashedText hashed() const { return HashedText(key, hash); }
};
struct ItemKeys {
    static const char* data(const Item& i) noexcept { return i.key.data(); }
    static std::string_view text(const Item& i) noexcept { return i.key; }
    static std::uint64_t hash(const Item& i) noexcept { return i.hash; }
};
using Table = qsc::EntryTable<Item, ItemKeys>;
constexpr std::size_t kReach = Table::kReach;

bool add(Table& t, Item& item) {
    Table::Vacancy vacancy;
    if (t.find(item.hashed(), vacancy)) return false;
    t.insert(item.hashed(), &item, vacancy);
    return true;
}

std::string id(std::size_t i, unsigned salt = 0) {
    char text[40];
    std::snprintf(text, sizeof text, "0190a5c2-%04x-7000-8000-%012zx", salt, i);
    return text;
}

std::vector<std::string> ids(std::size_t n, unsigned salt = 0) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(id(i, salt));
    return out;
}

template <class Set>
std::vector<std::string> listed(const Set& set) {
    std::vector<std::string> out;
    for (const auto& entry : set) {
        if constexpr (std::is_convertible_v<decltype(entry), std::string_view>) out.emplace_back(entry);
        else out.emplace_back(entry.first);
    }
    return out;
}

// A value of a map's entry, made from its id's number so that a value gone astray shows.
struct Tagged {
    std::uint64_t n;
    std::uint8_t tag;
    bool operator==(const Tagged&) const = default;
};
Tagged tagged(std::size_t i) { return {i * 0x9e3779b97f4a7c15ull, static_cast<std::uint8_t>(i)}; }
using TaggedMap = IdMap<Tagged>;

// A map's (id, value) pairs in order, and whether each is found with its value.
std::pair<std::vector<std::pair<std::string, Tagged>>, bool> entries(const TaggedMap& map) {
    std::vector<std::pair<std::string, Tagged>> out;
    bool found = true;
    for (const auto& [key, value] : map) {
        out.emplace_back(std::string(key), value);
        const Tagged* stored = map.find(key);
        found = found && stored && *stored == value;
    }
    return {std::move(out), found};
}

// Every member found within reach, every load at most 3/4 of a power-of-two table.
template <class C>
bool sound(const C& c, const std::vector<std::string>& members) {
    const auto& table = TableProbe::table(c);
    const std::size_t homes = table.capacity();
    if (homes & (homes - 1) || (table.spilled() == 0 && members.size() * 4 > homes * 3)) return false;
    for (const std::string& m : members)
        if (!c.contains(m) || TableProbe::probes(c, m) > kReach) return false;
    return true;
}

void growth() {
    for (std::size_t n : {0, 1, 6, 7, 8, 100, 5000}) {
        const auto keys = ids(n);
        IdSet set;
        OrderedMap<std::size_t> map;
        bool inserted = true;
        for (std::size_t i = 0; i < n; ++i) inserted = set.insert(keys[i]) && map.emplace_back(keys[i], i).second && inserted;
        CHECK(inserted && set.size() == n && map.size() == n);
        CHECK(sound(set, keys) && sound(map, keys));
        CHECK(listed(set) == keys && listed(map) == keys);  // insertion order, not slot order
        if (n) CHECK(!set.insert(keys[0]) && !map.emplace_back(keys[0], 0).second);
        CHECK(!set.contains(id(0, 1)) && !map.contains(id(0, 1)));
        CHECK(TableProbe::table(set).spilled() == 0);  // ordinary ids stay within reach
    }
}

// Erasure in several orders, each checked key by key: a hole left behind would hide the
// members after it.
void erase_by_backward_shift() {
    const auto keys = ids(600);
    const std::vector<std::vector<std::size_t>> orders = [&] {
        std::vector<std::size_t> forward, backward, every_third, scattered;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            forward.push_back(i);
            backward.push_back(keys.size() - 1 - i);
            if (i % 3 == 0) every_third.push_back(i);
            scattered.push_back(i * 7 % keys.size());  // 7 is prime to 600
        }
        return std::vector{forward, backward, every_third, scattered};
    }();
    for (const auto& order : orders) {
        IdSet set;
        OrderedMap<int> map;
        for (const auto& k : keys) set.insert(k), map.emplace_back(k, 0);
        std::vector<bool> gone(keys.size());
        bool erased = true, all_found = true;
        for (std::size_t i : order) {
            erased = set.erase(keys[i]) && map.erase(keys[i]) && erased;
            gone[i] = true;
            if (i % 50 != 0) continue;
            for (std::size_t j = 0; j < keys.size(); ++j)
                all_found = all_found && set.contains(keys[j]) == !gone[j] && map.contains(keys[j]) == !gone[j];
        }
        CHECK(erased && all_found);
        std::vector<std::string> rest;
        for (std::size_t j = 0; j < keys.size(); ++j)
            if (!gone[j]) rest.push_back(keys[j]);
        CHECK(listed(set) == rest && listed(map) == rest);
        CHECK(sound(set, rest) && sound(map, rest));
        CHECK(!set.erase(keys[order[0]]) && !map.erase(keys[order[0]]));
    }
}

// Chosen hashes: full collisions, runs of neighbouring homes, and a mix, inserted, looked up
// and erased through the table itself.
void collisions() {
    struct Case {
        const char* name;
        std::size_t n;
        std::uint64_t (*hash)(std::size_t i);
        std::size_t spilled_at_least;  // entries that cannot all sit within reach of their home
    };
    const Case cases[] = {
        {"one hash", 200, [](std::size_t) { return std::uint64_t{5}; }, 200 - kReach},
        {"one home", 200, [](std::size_t i) { return std::uint64_t{5} | (i << 40); }, 200 - kReach},
        {"neighbouring homes", 300, [](std::size_t i) { return std::uint64_t(i % 4); }, 300 - (4 + kReach - 1)},
        {"spread", 300, [](std::size_t i) { return std::uint64_t{i * 0x9e3779b97f4a7c15ull}; }, 0},
    };
    for (const Case& c : cases) {
        std::vector<Item> items;
        for (std::size_t i = 0; i < c.n; ++i) items.push_back({id(i), c.hash(i)});
        Table t;
        bool added = true, found = true, short_probes = true;
        for (Item& item : items) added = add(t, item) && added;
        for (Item& item : items) {
            found = found && t.find(item.hashed()) == &item && !add(t, item);
            short_probes = short_probes && t.probes(item.hashed()) <= kReach;
        }
        CHECK(added && found && short_probes);
        CHECK(t.spilled() >= c.spilled_at_least);
        CHECK(!t.find(HashedText("absent", c.hash(0))));
        // Erase every other entry, then the rest: the survivors stay reachable throughout.
        for (std::size_t pass = 0; pass < 2; ++pass) {
            bool erased = true, survivors = true;
            for (std::size_t i = pass; i < items.size(); i += 2) erased = t.erase(items[i].hashed()) == &items[i] && erased;
            for (std::size_t i = 0; i < items.size(); ++i)
                survivors = survivors && (t.find(items[i].hashed()) == &items[i]) == (pass == 0 && i % 2 == 1);
            CHECK(erased && survivors);
        }
        CHECK(t.spilled() == 0);
        if (!found || !short_probes) std::printf("  in case: %s\n", c.name);
    }
}

// Entries spilled while they share a home move back into the slots once growth separates their
// homes; removal by identity finds spilled and slotted entries alike.
void spilled_entries_return() {
    std::vector<Item> crowd, others;
    for (std::size_t i = 0; i < 42; ++i) crowd.push_back({id(i), 3 | (std::uint64_t(i) << 6)});  // one home up to 64
    for (std::size_t i = 0; i < 20; ++i) others.push_back({id(i, 1), (i + 1) * 0x9e3779b97f4a7c15ull});
    Table t;
    for (Item& item : crowd) add(t, item);
    CHECK(t.capacity() == 64 && t.spilled() == crowd.size() - kReach);
    t.remove(&crowd[0]);   // slotted
    t.remove(&crowd[41]);  // spilled
    CHECK(!t.find(crowd[0].hashed()) && !t.find(crowd[41].hashed()) && t.spilled() == crowd.size() - kReach - 1);
    for (Item& item : others) add(t, item);  // enough to grow to 128 homes, where the crowd has two
    CHECK(t.capacity() == 128 && t.spilled() == 0);
    bool found = true;
    for (std::size_t i = 1; i < 41; ++i) found = found && t.find(crowd[i].hashed()) == &crowd[i];
    for (Item& item : others) found = found && t.find(item.hashed()) == &item;
    CHECK(found);
}

// Real ids, hashed as the ledgers hash them, picked so that their hashes agree in the low 12
// bits: in any table of up to 4096 homes they all start their probe at one slot, so without a
// bound every lookup near them would read all of them.
void crafted_ids() {
    const std::string first = id(0, 0xbad);
    const std::uint64_t target = qsc::hash_text(first) & 0xfff;
    std::vector<std::string> crafted{first};
    for (std::size_t i = 1; crafted.size() < 300; ++i) {
        std::string candidate = id(i, 0xbad);
        if ((qsc::hash_text(candidate) & 0xfff) == target) crafted.push_back(std::move(candidate));
    }
    IdSet set;
    qsc::OrderedSet ordered;
    for (const auto& k : crafted) set.insert(k), ordered.touch_back(k);
    CHECK(set.size() == crafted.size() && ordered.size() == crafted.size());
    CHECK(sound(set, crafted) && sound(ordered, crafted));
    CHECK(TableProbe::table(set).spilled() >= crafted.size() - kReach);  // they did collide
    CHECK(TableProbe::probes(set, id(0, 0xbee)) <= kReach);
    CHECK(listed(set) == crafted && listed(ordered) == crafted);
    // Ordinary ids among them: still found within reach; then everything leaves.
    const auto plain = ids(2000, 1);
    for (const auto& k : plain) set.insert(k);
    std::vector<std::string> all = crafted;
    all.insert(all.end(), plain.begin(), plain.end());
    CHECK(sound(set, all));
    bool erased = true;
    for (const auto& k : crafted) erased = set.erase(k) && ordered.erase(k) && erased;
    CHECK(erased && listed(set) == plain && sound(set, plain) && ordered.empty());
}

// Eviction from the front and moves to the back follow use, whatever the hashes.
void order_of_use() {
    const auto keys = ids(20);
    qsc::OrderedSet lru;
    for (const auto& k : keys) lru.touch_back(k);
    lru.move_to_back(keys[0]);
    lru.touch_back(keys[5]);
    lru.trim_front(10);
    std::vector<std::string> expected(keys.begin() + 12, keys.end());
    expected.push_back(keys[0]);
    expected.push_back(keys[5]);
    CHECK(listed(lru) == expected);
    CHECK(lru.front_key() == keys[12]);
}

// What a container holds, in order, and whether each member is found.
template <class C>
std::pair<std::vector<std::string>, bool> state(const C& c) {
    auto members = listed(c);
    const bool found = sound(c, members);
    return {std::move(members), found};
}

// Each allocation an insertion makes fails in turn; a failed insertion changes nothing.
template <class Insert, class Snapshot>
void fails_cleanly(const char* what, long allocations, Insert insert, Snapshot snapshot) {
    const auto before = snapshot();
    long failures = 0;
    for (long n = 0;; ++n) {
        fail_in = n;
        try {
            insert();
        } catch (const std::bad_alloc&) {
            fail_in = -1;
            ++failures;
            if (snapshot() != before) {
                std::printf("  changed by a failed insertion: %s, allocation %ld\n", what, n);
                CHECK(false);
                return;
            }
            continue;
        }
        fail_in = -1;
        break;
    }
    CHECK(failures == allocations);
    CHECK(snapshot() != before);
}

// Adds `key` to a set, or to a map with the value of id number `i`.
template <class M>
bool add_id(M& m, const std::string& key, std::size_t i) {
    if constexpr (std::is_same_v<M, IdSet>) return m.insert(key);
    else return m.emplace_back(key, tagged(i)).second;
}

// What a set or map holds, in order (with the values), and whether each is found.
template <class M>
auto contents(const M& m) {
    if constexpr (std::is_same_v<M, IdSet>) return state(m);
    else return std::pair{entries(m), sound(m, listed(m))};
}

template <class M>
void failed_insertions() {
    struct Case {
        const char* what;
        std::size_t before;  // canonical ids in the set first
        std::string added;
        long allocations;
    };
    const std::string long_id(40, 'x');
    const Case cases[] = {
        {"table growth", 6, id(6), 1},                           // eight homes to sixteen
        {"long id, table growth", 6, long_id, 2},                // its block, the slots
        {"long id, first chunk growth", 4, long_id, 2},          // four entries to eight, its block
        {"new chunk", M::kChunk, id(M::kChunk), 2},              // the chunk, the directory
    };
    for (const Case& c : cases) {
        M m;
        auto members = ids(c.before);
        for (std::size_t i = 0; i < members.size(); ++i) add_id(m, members[i], i);
        fails_cleanly(c.what, c.allocations, [&] { add_id(m, c.added, 12345); }, [&] { return contents(m); });
        members.push_back(c.added);
        CHECK(sound(m, members) && listed(m) == members);
        if constexpr (!std::is_same_v<M, IdSet>) CHECK(*m.find(c.added) == tagged(12345) && *m.find(members[0]) == tagged(0));
    }
}

void failed_allocations() {
    const auto keys = ids(7);
    failed_insertions<IdSet>();
    failed_insertions<TaggedMap>();
    {
        OrderedMap<std::string> map;
        for (std::size_t i = 0; i < 6; ++i) map.emplace_back(keys[i], keys[i]);
        // The value's string, the entry, the slots.
        fails_cleanly("map growth", 3, [&] { map.emplace_back(keys[6], std::string(64, 'v')); },
                      [&] { return state(map); });
        CHECK(sound(map, keys) && *map.find(keys[6]) == std::string(64, 'v'));
    }
    {
        std::vector<Item> items;
        for (std::size_t i = 0; i <= kReach; ++i) items.push_back({id(i), 9});
        Table t;
        for (std::size_t i = 0; i < kReach; ++i) add(t, items[i]);  // a full reach: the next one spills
        auto contents = [&] {
            std::vector<const Item*> found;
            for (Item& item : items) found.push_back(t.find(item.hashed()));
            return std::pair{found, t.spilled()};
        };
        fails_cleanly("spill", 2, [&] { add(t, items[kReach]); }, contents);  // the spill set, its node
        CHECK(t.spilled() == 1);
    }
}

// The portable packing and the one this machine uses agree on every digit and refuse alike:
// every byte value in every digit position of a canonical UUID.
void packings_agree() {
    const std::string uuid = "0190a5c2-7b3e-7000-8abc-def012345678";
    std::size_t disagreements = 0, packed = 0;
    for (std::size_t at = 0; at < uuid.size(); ++at) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string text = uuid;
            text[at] = static_cast<char>(byte);
            qsc::detail::UuidDigits digits;
            unsigned char fast[16], portable[16];
            const bool read = digits.read(text);
            const bool a = read && qsc::detail::pack_digits(digits, fast);
            const bool b = read && qsc::detail::pack_digits_portable(digits, portable);
            if (a != b || (a && std::memcmp(fast, portable, 16) != 0)) ++disagreements;
            if (!a) continue;
            ++packed;
            qsc::detail::UuidDigits back, back_portable;
            qsc::detail::unpack_digits(fast, back);
            qsc::detail::unpack_digits_portable(fast, back_portable);
            char written[36];
            back.write(written);
            if (std::string(written, 36) != text || std::memcmp(back.w, back_portable.w, sizeof back.w) != 0)
                ++disagreements;
        }
    }
    CHECK(disagreements == 0);
    CHECK(packed == 32 * 16 + 4);  // sixteen digits in each of 32 places, a dash in 4
}

// Every form an id can take keeps its exact bytes through the set, in order, and is found only
// by itself: a packed UUID is never confused with another spelling of it.
void id_forms() {
    const std::string uuid = "0190a5c2-7b3e-7000-8abc-def012345678";
    const std::vector<std::string> forms = {
        uuid,
        "0190A5C2-7B3E-7000-8ABC-DEF012345678",   // uppercase
        "0190a5c2-7b3e-7000-8abc-DEF012345678",   // mixed case
        "0190a5c2-7b3e-7000-8abc-def01234567g",   // not a hex digit
        "0190a5c2-7b3e-7000-8abc-def01234567",    // one short
        "0190a5c2-7b3e-7000-8abc-def0123456789",  // one long
        "0190a5c2_7b3e-7000-8abc-def012345678",   // a dash replaced
        "0190a5c2-7b3e-7000-8abc-def012345678"s.replace(13, 1, "0"),
        "{0190a5c2-7b3e-7000-8abc-def01234567}",
        std::string("0190a5c2-7b3e-7000-8abc-def01234567\xff"),
        std::string("0190a5c2-7b3e-7000-8abc-de") + std::string(1, '\0') + "012345678",  // a NUL among the digits
        "",
        std::string(1, '\0'),
        "m-1",
        std::string(16, 'a'),                     // the longest kept inline
        std::string(17, 'a'),                     // the shortest in a block of its own
        "caf\xc3\xa9-\xe6\x97\xa5",
        std::string(100000, 'z'),
    };
    IdSet set;
    bool inserted = true;
    for (const auto& f : forms) inserted = set.insert(f) && inserted;
    CHECK(inserted && listed(set) == forms && sound(set, forms));
    bool refused = true;
    for (const auto& f : forms) refused = !set.insert(f) && refused;
    CHECK(refused);
    // Every other one leaves; the rest keep their order and their bytes.
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < forms.size(); ++i) {
        if (i % 2) CHECK(set.erase(forms[i]));
        else rest.push_back(forms[i]);
    }
    CHECK(listed(set) == rest && sound(set, rest) && !set.contains(forms[1]));
    set.move_to_back(rest[0]);
    set.trim_front(rest.size() - 1);
    std::vector<std::string> last(rest.begin() + 2, rest.end());
    last.push_back(rest[0]);
    CHECK(listed(set) == last);
}

// A set or map gives its memory back as it empties: whole chunks, the first chunk halved, the
// table shrunk, whichever end the ids leave from; a map's values stay with their ids.
template <class M>
void memory_given_back() {
    const auto keys = ids(5000);
    for (bool from_front : {true, false}) {
        M m;
        for (std::size_t i = 0; i < keys.size(); ++i) add_id(m, keys[i], i);
        CHECK(m.chunks() == 5 && TableProbe::table(m).capacity() == 8192);
        if (from_front) m.trim_front(10);
        else for (std::size_t i = 10; i < keys.size(); ++i) m.erase(keys[keys.size() - 1 - i + 10]);
        const std::size_t first = from_front ? keys.size() - 10 : 0;
        const std::vector<std::string> rest(keys.begin() + first, keys.begin() + first + 10);
        CHECK(listed(m) == rest && sound(m, rest));
        if constexpr (!std::is_same_v<M, IdSet>) {
            bool kept = true;
            for (std::size_t i = 0; i < rest.size(); ++i) kept = kept && *m.find(rest[i]) == tagged(first + i);
            CHECK(kept);
        }
        CHECK(m.chunks() == 1 && TableProbe::slab_capacity(m) <= 64 && TableProbe::table(m).capacity() <= 128);
        // Refilled, it grows again as before.
        for (std::size_t i = 0; i < keys.size(); ++i) add_id(m, keys[i], i);
        CHECK(m.size() == keys.size() && m.chunks() == 5);
        m.clear();
        CHECK(m.chunks() == 0 && TableProbe::table(m).capacity() == 0 && listed(m).empty());
    }
}

// Entries move as others leave (the last one takes an erased one's place) and as they go to the
// back; every value stays with its id, whichever way an entry leaves and whatever form its id
// takes.
void map_values_follow_moves() {
    auto keys = ids(40);
    keys.push_back(std::string(30, 'L'));  // in a block of its own
    keys.push_back("s");                   // inline
    enum class Op { Erase, EraseAt, ToBack, TrimFront };
    struct Step {
        Op op;
        std::size_t i;  // the id's number; for TrimFront, the entries kept
    };
    const std::pair<const char*, std::vector<Step>> cases[] = {
        {"erase the first", {{Op::Erase, 0}}},
        {"erase the last", {{Op::Erase, 41}}},
        {"erase by place", {{Op::EraseAt, 7}, {Op::EraseAt, 20}, {Op::EraseAt, 0}}},
        {"to the back, then erase before it", {{Op::ToBack, 3}, {Op::Erase, 0}, {Op::EraseAt, 3}, {Op::Erase, 40}}},
        {"trim the front", {{Op::ToBack, 0}, {Op::TrimFront, 30}, {Op::EraseAt, 0}}},
        {"every one leaves", {{Op::TrimFront, 0}}},
    };
    for (const auto& [what, steps] : cases) {
        TaggedMap map;
        std::vector<Tagged> values;
        std::vector<std::size_t> order;  // the model: id numbers, oldest first
        for (std::size_t i = 0; i < keys.size(); ++i) {
            map.emplace_back(keys[i], tagged(i));
            values.push_back(tagged(i));
            order.push_back(i);
        }
        // A value rewritten in place moves with its entry too: the last entry moves first.
        *map.find(keys.back()) = values.back() = tagged(1000);
        bool done = true;
        for (const Step& s : steps) {
            const auto at = std::find(order.begin(), order.end(), s.i);
            switch (s.op) {
                case Op::Erase: done = map.erase(keys[s.i]) && done; break;
                case Op::EraseAt: map.erase_at(map.locate(keys[s.i])); break;
                case Op::ToBack: done = map.move_to_back(keys[s.i]) && done; break;
                case Op::TrimFront: map.trim_front(s.i); break;
            }
            if (s.op == Op::TrimFront) order.erase(order.begin(), order.end() - std::min(s.i, order.size()));
            else if (s.op == Op::ToBack) std::rotate(at, at + 1, order.end());
            else order.erase(at);
        }
        std::vector<std::pair<std::string, Tagged>> expected;
        for (std::size_t i : order) expected.emplace_back(keys[i], values[i]);
        const auto [got, found] = entries(map);
        CHECK(done && got == expected && found && map.size() == order.size());
        bool gone = true;
        for (std::size_t i = 0; i < keys.size(); ++i)
            gone = gone && (std::find(order.begin(), order.end(), i) == order.end()) == (map.find(keys[i]) == nullptr);
        CHECK(gone);
        // A present id keeps its value and place when added again.
        if (!order.empty())
            CHECK(!map.emplace_back(keys[order[0]], tagged(999)).second && *map.find(keys[order[0]]) == values[order[0]] &&
                  listed(map).front() == keys[order[0]]);
        if (got != expected) std::printf("  in case: %s\n", what);
    }
}

// The ledger lists claims in the order they were made, so a replayed journal lists them alike.
void claims_in_order() {
    const auto keys = ids(50);
    qsc::ClaimRegistry claims(500);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string& k = keys[i * 17 % keys.size()];  // 17 is prime to 50
        claims.try_claim("r", k);
        expected.push_back(k);
    }
    for (std::size_t i = 0; i < 10; ++i) claims.release("r", expected[i * 3]);
    claims.try_claim("r", expected[0]);
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (i % 3 != 0 || i >= 30) rest.push_back(expected[i]);
    rest.push_back(expected[0]);
    CHECK(listed(*claims.inflight_ids("r")) == rest);
}

}  // namespace

int main() {
    growth();
    erase_by_backward_shift();
    collisions();
    spilled_entries_return();
    crafted_ids();
    order_of_use();
    failed_allocations();
    claims_in_order();
    packings_agree();
    id_forms();
    map_values_follow_moves();
    memory_given_back<IdSet>();
    memory_given_back<TaggedMap>();
    return check::finish();
}

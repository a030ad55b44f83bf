// The open-addressed index under the string containers (ordered.hpp, id_set.hpp): slots naming
// entries, found by linear probing from the key's hash, grown by doubling, emptied by backward
// shift. The table neither owns its entries nor orders them; its owner does both, so nothing a
// caller sees depends on where an entry happens to sit. What a slot holds and how a key is
// compared with an entry is the owner's `Keys` policy: entry pointers for ordered.hpp
// (`EntryPointers`), slab indices for id_set.hpp.
//
// Ids arrive from the network and the hash is no secret, so a sender can pick ids that all
// start their probe at one slot. No entry is therefore placed more than kReach - 1 slots past
// its home: one that finds no free slot within that reach goes to the spill set, ordered by hash
// and then bytes. A lookup reads at most kReach slots and, if that fails and anything was
// spilled, searches the spill set in logarithmic time, whatever the ids.
//
// Probes never wrap: behind the slots that are homes lie reach - 1 more that only probes reach
// and one that stays empty, so a probe steps by one slot and the backward shift stops by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <utility>

#include "core/text_hash.hpp"

namespace qsc {

// The value of a set's entries: a map of these is the set of its keys.
struct NoValue {};

// A Keys policy tells the table about its slots and the entries they name:
//   Ref, kNone                                   what names an entry (a pointer, an index), and nothing
//   Slot                                         value-initialised: empty
//   static bool empty(const Slot&)
//   static Ref ref(const Slot&)
//   static Slot slot(Ref, const HashedText& key)
//   static void rename(Slot&, Ref)               the same entry, now under another Ref
//   bool matches(const Slot&, const HashedText&) const
//   std::uint64_t home(const Slot&, std::size_t mask) const   the hash bits that place it
//   std::uint64_t hash(Ref) const                the hash it was inserted under
//   Text text(Ref) const, static std::string_view view(const Text&)
//                                                what the spill set keeps of the key, to order by
// A stateless policy may be left out of every call; a policy that reads its owner's storage is
// made for each call.

// Slots of entry pointers, for entries that hold their key's bytes and hash (Traits:
// `data`, `text` and `hash` of an entry E).
template <class E, class Traits>
struct EntryPointers {
    using Ref = E*;
    static constexpr Ref kNone = nullptr;
    using Text = std::string_view;

    // The key's length above a 24-bit tag of its hash: equal metas settle most mismatches
    // without reading the entry, and the tag holds the home of any table up to 2^24 homes.
    struct Slot {
        E* entry = nullptr;  // null: empty
        std::uint64_t meta = 0;
    };
    static constexpr int kTagBits = 24;
    static constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;
    static std::uint64_t meta_of(std::size_t size, std::uint64_t hash) noexcept {
        return (static_cast<std::uint64_t>(size) << kTagBits) | (hash & kTagMask);
    }

    static bool empty(const Slot& s) noexcept { return !s.entry; }
    static Ref ref(const Slot& s) noexcept { return s.entry; }
    static Slot slot(Ref e, const HashedText& key) noexcept { return {e, meta_of(key.text.size(), key.hash)}; }
    static void rename(Slot& s, Ref e) noexcept { s.entry = e; }
    bool matches(const Slot& s, const HashedText& key) const noexcept {
        return s.meta == meta_of(key.text.size(), key.hash) &&
               (key.text.empty() || std::memcmp(Traits::data(*s.entry), key.text.data(), key.text.size()) == 0);
    }
    std::uint64_t home(const Slot& s, std::size_t mask) const noexcept {
        return mask <= kTagMask ? s.meta : Traits::hash(*s.entry);
    }
    std::uint64_t hash(Ref e) const noexcept { return Traits::hash(*e); }
    Text text(Ref e) const noexcept { return Traits::text(*e); }
    static std::string_view view(const Text& t) noexcept { return t; }
};

template <class Keys>
class OpenTable {
    using Slot = typename Keys::Slot;
    using Ref = typename Keys::Ref;
    using Text = typename Keys::Text;

    struct Spill {
        std::uint64_t hash;
        mutable Ref ref;  // not part of the order: renaming an entry keeps its place
        Text text;
    };
    struct SpillOrder {
        using is_transparent = void;
        static bool less(std::uint64_t ha, std::string_view a, std::uint64_t hb, std::string_view b) noexcept {
            return ha != hb ? ha < hb : a < b;
        }
        bool operator()(const Spill& a, const Spill& b) const noexcept {
            return less(a.hash, Keys::view(a.text), b.hash, Keys::view(b.text));
        }
        bool operator()(const Spill& a, const HashedText& b) const noexcept {
            return less(a.hash, Keys::view(a.text), b.hash, b.text);
        }
        bool operator()(const HashedText& a, const Spill& b) const noexcept {
            return less(a.hash, a.text, b.hash, Keys::view(b.text));
        }
    };
    using SpillSet = std::set<Spill, SpillOrder>;

    // What an empty table points at: one empty slot, never written, so that a lookup needs no
    // test for a missing array.
    static constexpr Slot kNoSlots[1] = {};

public:
    // Short enough that a run of crafted ids costs little, long enough that ordinary ids at
    // the highest load (3/4) all but never spill.
    static constexpr std::size_t kReach = 32;
    static constexpr std::size_t kMinHomes = 8;

    OpenTable() noexcept = default;
    OpenTable(const OpenTable&) = delete;
    OpenTable& operator=(const OpenTable&) = delete;
    OpenTable(OpenTable&& other) noexcept { steal(other); }
    OpenTable& operator=(OpenTable&& other) noexcept {
        if (this != &other) {
            clear();
            steal(other);
        }
        return *this;
    }
    ~OpenTable() { clear(); }

    // Where a lookup that missed stopped: the free slot an insertion of the same key takes if
    // the table is left as it is until then.
    class Vacancy {
        friend class OpenTable;
        Slot* slot = nullptr;
    };

    // Where a lookup found its key: the slot naming its entry, null when the entry is spilled.
    // Holds until the table next changes.
    class Found {
        friend class OpenTable;
        Slot* slot = nullptr;
    };

    Ref find(const HashedText& key, const Keys& keys = Keys{}) const noexcept {
        Vacancy unused;
        return find(key, unused, keys);
    }
    Ref find(const HashedText& key, Found& found, const Keys& keys) const noexcept {
        Slot* unused;
        if (Slot* s = lookup(key, unused, keys)) {
            found.slot = s;
            return Keys::ref(*s);
        }
        return spill_ ? find_spilled(key) : Keys::kNone;
    }
    Ref find(const HashedText& key, Vacancy& vacancy, const Keys& keys = Keys{}) const noexcept {
        if (const Slot* s = lookup(key, vacancy.slot, keys)) return Keys::ref(*s);
        return spill_ ? find_spilled(key) : Keys::kNone;
    }

    // Adds `entry`, whose key is `key` and absent so far; `vacancy` is the one the miss left.
    // Throws std::bad_alloc when the table must grow or the entry must spill and memory runs
    // out; the table is unchanged then.
    void insert(const HashedText& key, Ref entry, Vacancy vacancy, const Keys& keys = Keys{}) {
        Slot* s = vacancy.slot;
        if ((used_ + 1) * 4 > homes() * 3) {
            rehash(slots_ == kNoSlots ? kMinHomes : homes() * 2, keys);
            s = free_slot(slots_, mask_, last_, key.hash);
        }
        if (!s) return spill(key.hash, entry, keys);
        *s = Keys::slot(entry, key);
        ++used_;
    }

    // Takes the entry of `key` out of the table and returns it; kNone when absent.
    Ref erase(const HashedText& key, const Keys& keys = Keys{}) noexcept {
        Slot* unused;
        if (Slot* s = lookup(key, unused, keys)) {
            const Ref entry = Keys::ref(*s);
            vacate(s, keys);
            return entry;
        }
        return spill_ ? erase_spilled(key) : Keys::kNone;
    }

    // Takes out a present entry, found by identity.
    void remove(Ref entry, const Keys& keys = Keys{}) noexcept {
        if (Slot* s = slot_of(entry, keys)) return vacate(s, keys);
        if (spill_) erase_spilled(HashedText(Keys::view(keys.text(entry)), keys.hash(entry)));
    }

    // Takes out the present entry a lookup found, with no second probe.
    void remove(Ref entry, Found found, const Keys& keys) noexcept {
        if (found.slot) return vacate(found.slot, keys);
        remove(entry, keys);
    }

    // A present entry is named `to` from now on instead of `from`.
    void rename(Ref from, Ref to, const Keys& keys) noexcept {
        if (Slot* s = slot_of(from, keys)) return Keys::rename(*s, to);
        spill_->find(HashedText(Keys::view(keys.text(from)), keys.hash(from)))->ref = to;
    }

    // Halves the homes while at most an eighth of them are used, so that a table that held many
    // entries gives their memory back as they leave. Only when memory allows: a table that
    // cannot shrink stays as it is.
    void shrink(const Keys& keys = Keys{}) noexcept {
        if (used_ * 8 >= homes() || homes() <= kMinHomes) return;
        try {
            rehash(homes() / 2, keys);
        } catch (const std::bad_alloc&) {
        }
    }

    // Forgets every entry (they belong to the caller) and gives the memory back.
    void clear() noexcept {
        if (slots_ != kNoSlots) delete[] slots_;
        slots_ = const_cast<Slot*>(kNoSlots);
        spill_.reset();
        mask_ = last_ = used_ = 0;
    }

    std::size_t capacity() const noexcept { return slots_ == kNoSlots ? 0 : mask_ + 1; }
    std::size_t spilled() const noexcept { return spill_ ? spill_->size() : 0; }
    // How many slots a lookup of `key` reads (the spill set aside).
    std::size_t probes(const HashedText& key, const Keys& keys = Keys{}) const noexcept {
        const Slot* home = slots_ + (key.hash & mask_);
        Slot* vacancy;
        if (const Slot* s = lookup(key, vacancy, keys)) return static_cast<std::size_t>(s - home) + 1;
        return vacancy ? static_cast<std::size_t>(vacancy - home) + 1 : last_ + 1;
    }

private:
    // Slots that are homes; 1 for an empty table, which is never written.
    std::size_t homes() const noexcept { return mask_ + 1; }
    static std::size_t reach_of(std::size_t homes) noexcept { return homes < kReach ? homes : kReach; }

    // The slot holding `key`, or null and the free slot where the probe stopped (null when it
    // ran out of reach).
    Slot* lookup(const HashedText& key, Slot*& vacancy, const Keys& keys) const noexcept {
        Slot* s = slots_ + (key.hash & mask_);
        for (Slot* last = s + last_; !Keys::empty(*s); ++s) {
            if (keys.matches(*s, key)) return s;
            if (s == last) {
                vacancy = nullptr;
                return nullptr;
            }
        }
        vacancy = s;
        return nullptr;
    }

    // The slot naming `entry`, or null when it is spilled.
    Slot* slot_of(Ref entry, const Keys& keys) const noexcept {
        Slot* s = slots_ + (keys.hash(entry) & mask_);
        for (Slot* last = s + last_; !Keys::empty(*s); ++s) {
            if (Keys::ref(*s) == entry) return s;
            if (s == last) break;
        }
        return nullptr;
    }

    // A free slot within reach of `hash`'s home, or null.
    static Slot* free_slot(Slot* slots, std::size_t mask, std::size_t last, std::uint64_t hash) noexcept {
        Slot* s = slots + (hash & mask);
        for (Slot* end = s + last; !Keys::empty(*s); ++s)
            if (s == end) return nullptr;
        return s;
    }

    // Backward shift: later members of the run move into the hole, so that no lookup ever stops
    // early at it. A member may move if its home is at or before the hole; none sits as far
    // as the reach past its home, so the scan ends that far past the hole, or at the empty
    // slot behind the last.
    void vacate(Slot* slot, const Keys& keys) noexcept {
        std::size_t hole = static_cast<std::size_t>(slot - slots_);
        for (std::size_t at = hole + 1; at - hole <= last_ && !Keys::empty(slots_[at]); ++at) {
            if ((keys.home(slots_[at], mask_) & mask_) <= hole) {
                slots_[hole] = slots_[at];
                hole = at;
            }
        }
        slots_[hole] = Slot{};
        --used_;
    }

    // The spill set stays off the paths ordinary ids take.
    [[gnu::noinline]] void spill(std::uint64_t hash, Ref entry, const Keys& keys) {
        std::unique_ptr<SpillSet> fresh = spill_ ? nullptr : std::make_unique<SpillSet>();
        (spill_ ? *spill_ : *fresh).insert(Spill{hash, entry, keys.text(entry)});
        if (fresh) spill_ = std::move(fresh);
    }

    [[gnu::noinline]] Ref find_spilled(const HashedText& key) const noexcept {
        auto it = spill_->find(key);
        return it == spill_->end() ? Keys::kNone : it->ref;
    }

    [[gnu::noinline]] Ref erase_spilled(const HashedText& key) noexcept {
        auto it = spill_->find(key);
        if (it == spill_->end()) return Keys::kNone;
        const Ref entry = it->ref;
        spill_->erase(it);
        if (spill_->empty()) spill_.reset();
        return entry;
    }

    // Moves every entry into `homes` new homes. Everything that can throw happens before the
    // table changes: the new slots, and a new spill set if a member finds no place within
    // reach in them.
    [[gnu::noinline]] void rehash(std::size_t homes, const Keys& keys) {
        const std::size_t mask = homes - 1, last = reach_of(homes) - 1;
        const std::size_t length = homes + last + 1;  // the final slot stays empty
        std::unique_ptr<Slot[]> slots(new Slot[length]);
        std::unique_ptr<SpillSet> spill;
        std::size_t used = 0;
        for (std::size_t i = 0; slots_ != kNoSlots && i <= mask_ + last_; ++i) {
            const Slot& s = slots_[i];
            if (Keys::empty(s)) continue;
            if (Slot* to = free_slot(slots.get(), mask, last, keys.home(s, mask))) {
                *to = s;
                ++used;
                continue;
            }
            if (!spill) spill = spill_ ? std::make_unique<SpillSet>(*spill_) : std::make_unique<SpillSet>();
            const Ref entry = Keys::ref(s);
            spill->insert(Spill{keys.hash(entry), entry, keys.text(entry)});
        }
        if (slots_ != kNoSlots) delete[] slots_;
        slots_ = slots.release();
        mask_ = mask;
        last_ = last;
        used_ = used;
        if (spill) spill_ = std::move(spill);
        if (spill_) readmit();
    }

    // Moves spilled entries that now find a place within reach back into the slots, as far as
    // the load allows.
    [[gnu::noinline]] void readmit() noexcept {
        for (auto it = spill_->begin(); it != spill_->end() && (used_ + 1) * 4 <= homes() * 3;) {
            Slot* to = free_slot(slots_, mask_, last_, it->hash);
            if (!to) {
                ++it;
                continue;
            }
            *to = Keys::slot(it->ref, HashedText(Keys::view(it->text), it->hash));
            ++used_;
            it = spill_->erase(it);
        }
        if (spill_->empty()) spill_.reset();
    }

    void steal(OpenTable& other) noexcept {
        slots_ = std::exchange(other.slots_, const_cast<Slot*>(kNoSlots));
        spill_ = std::move(other.spill_);
        mask_ = std::exchange(other.mask_, 0);
        last_ = std::exchange(other.last_, 0);
        used_ = std::exchange(other.used_, 0);
    }

    Slot* slots_ = const_cast<Slot*>(kNoSlots);  // homes, then last_ more, then one empty
    std::unique_ptr<SpillSet> spill_;           // null while nothing is spilled
    std::size_t mask_ = 0;                      // homes - 1
    std::size_t last_ = 0;                      // reach - 1
    std::size_t used_ = 0;                      // entries in slots; the load counts only these
};

// The table of entries that hold their key (ordered.hpp, tests).
template <class E, class Traits>
using EntryTable = OpenTable<EntryPointers<E, Traits>>;

}  // namespace qsc

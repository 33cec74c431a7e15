// A table of live objects keyed by their address, with a value each. The simulated kernel
// records every object it hands out (kmalloc, vmalloc, slab, bio, buffer head) so that it
// can refuse a free of something it never gave and show what is left at shutdown. One
// object is added and one dropped per request, often thousands of times a second: open
// addressing with linear probing and backward-shift deletion keeps both steps to a few
// instructions and allocates nothing once the table has grown to the peak it has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

template <class V>
class PtrTable {
public:
    PtrTable() : slots_(kMinSlots) {}

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Adds key (not null) with its value; false, and nothing changed, if it is already in.
    bool insert(const void* key, V value)
    {
        if ((count_ + 1) * 2 > slots_.size())
            grow();
        size_t i = home(key);
        for (; slots_[i].key; i = next(i))
            if (slots_[i].key == key)
                return false;
        slots_[i] = {key, value};
        count_++;
        return true;
    }

    bool contains(const void* key) const { return find(key) != npos; }

    // Takes key out, giving its value in *value when asked; false if it was not in.
    bool erase(const void* key, V* value = nullptr)
    {
        size_t i = find(key);
        if (i == npos)
            return false;
        if (value)
            *value = slots_[i].value;
        // Close the gap: an entry further along the run whose home is not between the gap
        // and itself would no longer be found past an empty slot, so it moves into the gap.
        for (size_t j = next(i); slots_[j].key; j = next(j)) {
            size_t h = home(slots_[j].key);
            bool stays = i < j ? (i < h && h <= j) : (i < h || h <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i].key = nullptr;
        count_--;
        return true;
    }

    template <class F>
    void for_each(F&& f) const
    {
        for (const Slot& s : slots_)
            if (s.key)
                f(s.key, s.value);
    }

private:
    static constexpr size_t kMinSlots = 64; // a power of two
    static constexpr size_t npos = ~size_t(0);

    struct Slot {
        const void* key = nullptr;
        V value{};
    };

    size_t mask() const { return slots_.size() - 1; }
    size_t next(size_t i) const { return (i + 1) & mask(); }

    // Objects are at least 16-byte aligned; the multiplication spreads the rest.
    size_t home(const void* key) const
    {
        uint64_t h = (reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 32) & mask();
    }

    size_t find(const void* key) const
    {
        for (size_t i = home(key); slots_[i].key; i = next(i))
            if (slots_[i].key == key)
                return i;
        return npos;
    }

    void grow()
    {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        count_ = 0;
        for (const Slot& s : old)
            if (s.key)
                insert(s.key, s.value);
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

} // namespace sim

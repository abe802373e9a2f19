// Objects reached through opaque handles. A handle is a serial number that is
// never reused, shifted left past a three-bit tag: a released, forged or foreign
// handle is recognised instead of followed, and tables with different tags
// never hand out the same value, so one lookup can tell the kinds apart.
//
// A table is not synchronised: its owner keeps it behind a lock of its own
// (global memory, the graphics layer), held around every call and around
// anything that reads or changes an object another thread might reach. An
// object found under that lock may be used after it is released: the map is
// node-based, so adding or removing other objects (and the rehashing that
// comes with it) never moves or invalidates it. Only removing the object
// itself does, which is why a thread may use only objects it owns or that
// nobody deletes meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

template <class Handle, class Object, std::uintptr_t Tag = 0>
class HandleTable {
    static_assert(Tag < 8, "the tag takes the three low bits");

public:
    struct Added {
        Handle handle;
        Object& object;
    };

    // Constructs an object in the table. Throws std::bad_alloc when the table
    // cannot grow; objects never move once added.
    template <class... Args>
    Added Add(Args&&... args) {
        const std::uintptr_t key = (m_next << 3) | Tag;
        Object& object = m_objects.try_emplace(key, std::forward<Args>(args)...).first->second;
        ++m_next;
        return {reinterpret_cast<Handle>(key), object};
    }

    Object* Find(const void* handle) {
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : &it->second;
    }
    const Object* Find(const void* handle) const {
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : &it->second;
    }

    // False when the handle is not in the table.
    bool Remove(const void* handle) {
        return m_objects.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0;
    }

    std::size_t Size() const { return m_objects.size(); }

    // Calls visit(handle, object) for each object, in no particular order.
    template <class Visit>
    void ForEach(Visit visit) const {
        for (const auto& [key, object] : m_objects) visit(reinterpret_cast<Handle>(key), object);
    }

private:
    std::unordered_map<std::uintptr_t, Object> m_objects;
    std::uintptr_t m_next = 1;
};

#pragma once

#include "platform/OxString.h"
#include "platform/OxUtils.h"

#include <cstring>
#include <type_traits>

namespace Lk {

// Comparator for oxsort over an array of pointers whose class has int compare(const X*).
template <typename T> struct OxListCompare {
    static int compare(const void* a, const void* b) {
        const T& x = *static_cast<const T*>(a);
        const T& y = *static_cast<const T*>(b);
        const int r = x->compare(y);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
};

// Growable array of values (mostly pointers). Never owns its pointer elements; no lock:
// owners that share a list between threads guard it themselves.
template <typename T> class OxList {
public:
    OxList() = default;
    OxList(const OxList& other) { copyFrom(other); }
    OxList& operator=(const OxList& other) {
        if (this != &other) {
            OxList::clear(0);
            copyFrom(other);
        }
        return *this;
    }
    virtual ~OxList() { delete[] items; }

    virtual void setItem(int i, const T& v) { items[i] = v; }
    virtual void clear() { count = 0; }
    virtual void clear(int newCapacity) {
        count = 0;
        setCapacity(newCapacity, 0);
    }
    virtual const T& add(const T& v) {
        const T value = v; // v may be an element of this list, freed when the array grows
        makeRoom();
        items[count] = value;
        return items[count++];
    }
    virtual bool remove(int i) { return removeImpl(i); }
    virtual void setCapacity(int newCapacity, int keep) {
        if (newCapacity < 0)
            newCapacity = 0;
        if (newCapacity == capacity)
            return;
        T* fresh = newCapacity > 0 ? new T[newCapacity] : nullptr;
        // Without keep the old elements are dropped, so none may count as present.
        count = keep ? (count < newCapacity ? count : newCapacity) : 0;
        if (keep)
            copyElements(fresh, items, count);
        delete[] items;
        items = fresh;
        capacity = newCapacity;
    }

    bool addIfNotExists(const T& v) {
        if (indexOf(v) >= 0)
            return false;
        add(v);
        return true;
    }
    void add(const OxList& other) {
        const int otherCount = other.count; // other may be this list
        setCapacity(count + otherCount, 1);
        copyElements(items + count, other.items, otherCount);
        count += otherCount;
    }
    bool removeImpl(int i) {
        if (i < 0 || i >= count)
            return false;
        for (int k = i; k < count - 1; ++k)
            items[k] = items[k + 1];
        --count;
        if constexpr (!std::is_trivially_copyable_v<T>)
            items[count] = T();
        return true;
    }
    void makeRoom() {
        if (count == capacity)
            setCapacity(capacity == 0 ? 16 : 2 * count, 1);
    }
    int indexOf(const T& v) const {
        for (int i = 0; i < count; ++i)
            if (items[i] == v)
                return i;
        return -1;
    }
    bool contains(const T& v) const { return indexOf(v) >= 0; }

    // Deletes every non-null element; pointer lists only.
    void clearAndDelete() {
        for (int i = 0; i < count; ++i) {
            T item = items[i];
            items[i] = nullptr;
            delete item;
        }
        count = 0;
    }
    bool removeAndDelete(int i) {
        if (i < 0 || i >= count)
            return false;
        T item = items[i];
        items[i] = nullptr;
        delete item;
        return removeImpl(i);
    }
    bool removeAndDelete(const T& v) { return removeAndDelete(indexOf(v)); }

    // Orders pointer elements by their own compare(); not stable.
    void sort() { oxsort(items, count, sizeof(T), OxListCompare<T>::compare); }

    int getCount() const { return count; }
    int getCapacity() const { return capacity; }
    T& operator[](int i) { return items[i]; }
    const T& operator[](int i) const { return items[i]; }
    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }

protected:
    static void copyElements(T* dst, const T* src, int n) {
        if (n <= 0)
            return;
        if constexpr (std::is_trivially_copyable_v<T>)
            std::memcpy(static_cast<void*>(dst), static_cast<const void*>(src), sizeof(T) * n);
        else
            for (int i = 0; i < n; ++i)
                dst[i] = src[i];
    }
    void copyFrom(const OxList& other) {
        if (other.count > 0) {
            items = new T[other.count];
            copyElements(items, other.items, other.count);
        }
        capacity = count = other.count;
    }

    T* items = nullptr;
    int count = 0;
    int capacity = 0;
};

// A list of pointers that owns and deletes its elements.
template <typename T> class OxOwnedList : public OxList<T> {
    using Base = OxList<T>;

public:
    OxOwnedList() = default;
    OxOwnedList(const OxOwnedList&) = delete;
    OxOwnedList& operator=(const OxOwnedList&) = delete;
    ~OxOwnedList() override { Base::clearAndDelete(); }

    void setItem(int i, const T& v) override {
        T old = this->items[i];
        this->items[i] = v;
        if (old != v)
            delete old;
    }
    void clear() override { Base::clearAndDelete(); }
    void clear(int newCapacity) override {
        Base::clearAndDelete();
        Base::setCapacity(newCapacity, 0);
    }
    bool remove(int i) override { return Base::removeAndDelete(i); }
    void setCapacity(int newCapacity, int keep) override {
        if (keep) {
            for (int i = this->count - 1; i >= newCapacity && i >= 0; --i)
                Base::removeAndDelete(i);
        } else {
            Base::clearAndDelete();
        }
        Base::setCapacity(newCapacity, keep);
    }

    virtual T steal(int i) {
        if (i < 0 || i >= this->count || this->items[i] == nullptr)
            return nullptr;
        T item = this->items[i];
        Base::removeImpl(i);
        return item;
    }
    virtual T steal(const T& v) { return steal(Base::indexOf(v)); }
    // Hands every element to target, behind its own; this list ends up empty.
    virtual void moveTo(OxOwnedList& target) {
        if (&target == this)
            return; // the elements would be owned twice and then forgotten
        target.Base::add(static_cast<const Base&>(*this));
        this->count = 0;
    }
    virtual bool remove(const T& v) { return Base::removeAndDelete(v); }
};

// Strings joined into one text by getText(), each followed by the separator.
class OxStringList {
public:
    virtual ~OxStringList() = default;

    void clear(int newCapacity) {
        list.clear();
        if (newCapacity >= 0)
            list.setCapacity(newCapacity, 0);
    }
    OxString getText() const;

    OxList<OxString> list;
    OxString separator{"\n"};
};

// Growable block of plain elements, for byte buffers.
template <typename T> class OxMemBlock {
    static_assert(std::is_trivially_copyable_v<T>, "OxMemBlock holds plain elements");

public:
    explicit OxMemBlock(int growBy = 0) : growBy(growBy) {}
    OxMemBlock(const OxMemBlock&) = delete;
    OxMemBlock& operator=(const OxMemBlock&) = delete;
    ~OxMemBlock() { delete[] data; }

    bool append(T v) {
        if (capacity < count + 1)
            setCapacity(count + 1 + (growBy > 0 ? growBy : 0), 1, 0);
        data[count++] = v;
        return true;
    }
    bool setCapacity(int newCapacity, int keep, int allowShrink) {
        if (newCapacity == capacity || (newCapacity < capacity && !allowShrink))
            return true;
        if (newCapacity < 0)
            newCapacity = 0;
        T* fresh = newCapacity > 0 ? new T[newCapacity] : nullptr;
        if (count > newCapacity)
            count = newCapacity;
        if (keep && count > 0)
            std::memcpy(fresh, data, sizeof(T) * count);
        delete[] data;
        data = fresh;
        capacity = newCapacity;
        return true;
    }

    T* data = nullptr;
    int count = 0;
    int capacity = 0;
    int growBy;
};

} // namespace Lk

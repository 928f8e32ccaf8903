#include "midi/MidiDeviceFactory.h"

#include "platform/OxTime.h"

#include <cstdint>

namespace Lk {

int MidiDeviceFactory::GetNumDevs(int isInput) {
    requireCache();
    OxScopedLock hold(lock);
    return cacheOf(isInput).getCount();
}

void MidiDeviceFactory::GetDeviceList(int isInput, OxOwnedList<MidiDeviceDescriptor*>& out) {
    requireCache();
    OxScopedLock hold(lock);
    const auto& cache = cacheOf(isInput);
    out.clear(cache.getCount());
    for (const MidiDeviceDescriptor* d : cache)
        if (d != nullptr)
            out.add(d->Clone());
}

void MidiDeviceFactory::GetDeviceList(int isInput, OxStringList& out) {
    requireCache();
    OxScopedLock hold(lock);
    out.clear(-1);
    for (const MidiDeviceDescriptor* d : cacheOf(isInput))
        if (d != nullptr)
            out.list.add(d->GetName());
}

void MidiDeviceFactory::GetPublicDeviceNameList(int isInput, OxStringList& out) {
    requireCache();
    OxScopedLock hold(lock);
    out.clear(-1);
    for (const MidiDeviceDescriptor* d : cacheOf(isInput))
        if (d != nullptr && d->publicName.isNotEmpty())
            out.list.add(d->publicName);
}

void MidiDeviceFactory::SetCacheCount(int isInput, int count, int fill) {
    OxScopedLock hold(lock);
    auto& cache = cacheOf(isInput);
    while (cache.getCount() > count && cache.getCount() > 0)
        cache.remove(cache.getCount() - 1);
    while (fill && cache.getCount() < count)
        cache.add(nullptr);
}

void MidiDeviceFactory::requireCache() {
    const unsigned now = currentMilliTime();
    const unsigned last = lastCacheAccess.exchange(now);
    // A negative age means the clock wrapped: enumerate again.
    const int32_t age = static_cast<int32_t>(now - last);
    if (last != 0 && age >= 0 && age < static_cast<int32_t>(CACHE_LIFETIME_MS))
        return;

    OxScopedLock hold(lock);
    OxList<MidiDeviceDescriptor*> renamed;
    rebuildCache(0, renamed);
    rebuildCache(1, renamed);
    // Same-named ports of one device get permanent distinct names instead of "(2)".
    for (MidiDeviceDescriptor* d : renamed) {
        d->name = OxString::format("%s %d", d->name.c_str(), d->dupNumber);
        d->dupNumber = 0;
    }
}

void MidiDeviceFactory::rebuildCache(int isInput, OxList<MidiDeviceDescriptor*>& renamed) {
    auto& cache = cacheOf(isInput);
    recreateCache(isInput, cache);
    for (int i = 0; i < cache.getCount(); ++i) {
        MidiDeviceDescriptor* d = cache[i];
        if (d == nullptr)
            continue;
        d->dupNumber = 0;
        for (int k = 0; k < i; ++k) {
            MidiDeviceDescriptor* earlier = cache[k];
            if (earlier == nullptr || !d->name.sameAs(earlier->name, 1))
                continue;
            if (earlier->dupNumber == 0)
                earlier->dupNumber = 1;
            ++d->dupNumber;
            if (d->serial.isNotEmpty() && d->Matches(earlier)) {
                renamed.addIfNotExists(earlier);
                renamed.addIfNotExists(d);
            }
        }
        if (d->dupNumber > 0)
            ++d->dupNumber;
    }
}

unsigned MidiDeviceFactory::currentMilliTime() {
    return getMilliTime();
}

} // namespace Lk

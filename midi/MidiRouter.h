#pragma once

#include "midi/MidiAliasRecord.h"
#include "platform/OrvoSystem.h"
#include "platform/OxListenerList.h"
#include "platform/OxLock.h"

namespace Lk {

class TMidiRouter;

// Passes what arrives on the port behind inAlias on to the port behind outAlias. The
// aliases belong to the alias manager; a route whose alias was removed is disabled by
// clearing inAlias.
class TMidiRoute {
public:
    TMidiRoute(TMidiAlias* in, TMidiAlias* out, int index)
        : inAlias(in), outAlias(out), index(index) {}
    virtual ~TMidiRoute() = default;

    TMidiAlias* inAlias;
    TMidiAlias* outAlias;
    int index;
};

class TMidiRoutes {
public:
    TMidiRoutes(int ownsRoutes, TMidiRouter* router) : ownsRoutes(ownsRoutes), router(router) {}
    TMidiRoutes(const TMidiRoutes&) = delete;
    TMidiRoutes& operator=(const TMidiRoutes&) = delete;
    virtual ~TMidiRoutes() { ClearImpl(); }

    int AddRouteImpl(TMidiRoute* r);
    int IndexOf(const TMidiAlias* in, const TMidiAlias* out) const;
    // The output aliases of the routes whose input alias resolves to port `userID`.
    void GetOutAliasesByInUserID(int userID, TMidiAliasList& out) const;
    // The output aliases of the routes from `in` itself, whether or not it resolves to a port.
    void GetOutAliasesByInAlias(const TMidiAlias* in, TMidiAliasList& out) const;
    void ClearImpl();
    int GetCount() const;
    // Clears inAlias of every route with a removed alias; returns how many it disabled.
    int disableRoutesOfRemovedAliases();

private:
    // Routes are added on the message thread and read by refreshes on the timer thread.
    mutable OxLock lock;
    OxList<TMidiRoute*> routes;
    int ownsRoutes;
    TMidiRouter* router;
};

// Owns the routes and tells its listeners when routes are added or disabled.
class TMidiRouter : public TMidiAliasChangeListener, public AutoDelete {
public:
    static TMidiRouter* instance();
    static bool IsInstanceAllocated();
    ~TMidiRouter() override;

    // Index of the new route; -1 for aliases of the wrong types or a pair already routed.
    int AddRoute(TMidiAlias* in, TMidiAlias* out);
    void AddRouteChangeListener(TMidiRouteChangeListener* l) { listeners.add(l); }
    void RemoveRouteChangeListener(TMidiRouteChangeListener* l) { listeners.remove(l); }
    void OnMidiAliasListChanged() override;
    void FireRouterChangeEvent();
    TMidiRoutes& GetRoutes() { return routes; }

private:
    TMidiRouter();

    TMidiRoutes routes{1, this};
    OxListenerList<TMidiRouteChangeListener> listeners;
};

} // namespace Lk

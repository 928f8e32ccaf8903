#include "midi/MidiRouter.h"

#include "midi/MidiAlias.h"
#include "midi/MidiSingletonLock.h"
#include "platform/OxSingleton.h"

namespace Lk {

namespace {
OxSingleton<TMidiRouter> routerInstance{midiSingletonCreationLock};
} // namespace

int TMidiRoutes::AddRouteImpl(TMidiRoute* r) {
    int before;
    {
        OxScopedLock hold(lock);
        before = routes.getCount();
        routes.add(r);
    }
    if (router != nullptr)
        router->FireRouterChangeEvent();
    return before;
}

int TMidiRoutes::IndexOf(const TMidiAlias* in, const TMidiAlias* out) const {
    if (in == nullptr || out == nullptr)
        return -1;
    OxScopedLock hold(lock);
    for (int i = 0; i < routes.getCount(); ++i)
        if (routes[i]->inAlias == in && routes[i]->outAlias == out)
            return i;
    return -1;
}

void TMidiRoutes::GetOutAliasesByInUserID(int userID, TMidiAliasList& out) const {
    out.clear();
    if (userID < 0)
        return;
    OxScopedLock hold(lock);
    for (const TMidiRoute* r : routes) {
        const int source =
            r->inAlias != nullptr && r->outAlias != nullptr ? r->inAlias->userID : -1;
        if (source == userID)
            out.Add(r->outAlias);
    }
}

void TMidiRoutes::GetOutAliasesByInAlias(const TMidiAlias* in, TMidiAliasList& out) const {
    out.clear();
    if (in == nullptr)
        return;
    OxScopedLock hold(lock);
    for (const TMidiRoute* r : routes)
        if (r->inAlias == in && r->outAlias != nullptr)
            out.Add(r->outAlias);
}

void TMidiRoutes::ClearImpl() {
    OxScopedLock hold(lock);
    if (ownsRoutes)
        routes.clearAndDelete();
    routes.clear();
}

int TMidiRoutes::GetCount() const {
    OxScopedLock hold(lock);
    return routes.getCount();
}

int TMidiRoutes::disableRoutesOfRemovedAliases() {
    OxScopedLock hold(lock);
    int disabled = 0;
    for (TMidiRoute* r : routes) {
        if (r->inAlias == nullptr || r->outAlias == nullptr)
            continue;
        if (r->inAlias->type == atNone || r->outAlias->type == atNone) {
            r->inAlias = nullptr;
            ++disabled;
        }
    }
    return disabled;
}

TMidiRouter* TMidiRouter::instance() {
    return routerInstance.get([] { return new TMidiRouter(); });
}

bool TMidiRouter::IsInstanceAllocated() {
    return routerInstance.peek() != nullptr;
}

TMidiRouter::TMidiRouter() {
    routerInstance.publish(this);
    TMidiAliasManager::instance()->AddAliasChangeListener(this);
}

TMidiRouter::~TMidiRouter() {
    if (TMidiAliasManager::IsInstanceAllocated())
        TMidiAliasManager::instance()->RemoveAliasChangeListener(this);
    routes.ClearImpl();
    routerInstance.release(this);
}

int TMidiRouter::AddRoute(TMidiAlias* in, TMidiAlias* out) {
    if (in == nullptr || out == nullptr)
        return -1;
    {
        OxScopedLock hold(TMidiAliasManager::instance()->GetLock());
        if (in->type != atIn || out->type != atOut)
            return -1;
    }
    if (routes.IndexOf(in, out) >= 0)
        return -1;
    return routes.AddRouteImpl(new TMidiRoute(in, out, routes.GetCount()));
}

void TMidiRouter::OnMidiAliasListChanged() {
    int disabled;
    {
        OxScopedLock hold(TMidiAliasManager::instance()->GetLock());
        disabled = routes.disableRoutesOfRemovedAliases();
    }
    if (disabled > 0)
        FireRouterChangeEvent();
}

void TMidiRouter::FireRouterChangeEvent() {
    listeners.forEach([](TMidiRouteChangeListener* l) { l->OnMidiRouteListChanged(); });
}

} // namespace Lk

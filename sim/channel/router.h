// Init's side of the control channel: each room says which requests it
// serves (routes()), and the router hands every request to its room.
#pragma once

#include <functional>
#include <map>
#include <type_traits>

#include "requests.h"
#include "wire.h"

namespace sim::wire {

class Router {
public:
    // `serve` takes the request and gives its reply (nothing for a void one).
    template <class Req, class Serve>
    void on(Serve serve)
    {
        static_assert(kNumber<Req> != ~0U, "not a request of the control channel (requests.h)");
        routes_[kNumber<Req>] = [serve](Reader &r, Writer &w) {
            Req q;
            get(r, q);
            if constexpr (std::is_void_v<typename Req::Reply>)
                serve(q);
            else
                put(w, typename Req::Reply(serve(q)));
        };
    }
    // Decodes one request, has its room serve it and encodes the reply;
    // throws what the room throws.
    void serve(Reader &r, Writer &w) const
    {
        auto it = routes_.find(r.u32());
        if (it == routes_.end())
            throw Error("unknown request");
        it->second(r, w);
    }

private:
    std::map<uint32_t, std::function<void(Reader &, Writer &)>> routes_;
};

} // namespace sim::wire

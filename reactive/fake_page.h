#pragma once
// A page for tests: records queries and evaluations; the test answers them.
#include <string>
#include <vector>

#include "reactive/page.h"

namespace reactive {

class FakePage final : public Page {
public:
    struct Query {
        ElementId id;
        QueryKind kind;
        Json args;
        Reply reply;
    };
    struct Script {
        std::string text;
        Eval ev;
        std::vector<Json> sent;  // values the host sent into the page
    };

    void query(ElementId id, QueryKind kind, Json args, Reply reply) override {
        queries.push_back(Query{id, kind, std::move(args), std::move(reply)});
    }
    void eval(const std::string& script, Eval ev) override {
        std::size_t index = scripts.size();
        ev.set_request(index + 1);
        ev.set_sender([this, index](const Json& v) -> base::Result<void> {
            scripts[index].sent.push_back(v);
            return {};
        });
        scripts.push_back(Script{script, ev, {}});
    }

    std::vector<Query> queries;
    std::vector<Script> scripts;
};

}  // namespace reactive

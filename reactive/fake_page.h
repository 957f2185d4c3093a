#pragma once
// A page for tests (library veltrum_reactive_testing): records queries and
// evaluations; the test answers them through their replies and feeds.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
        EvalFeed feed;
        std::vector<Json> sent;  // values the host sent into the page
    };

    void query(ElementId id, QueryKind kind, Json args, Reply reply) override {
        queries.push_back(Query{id, kind, std::move(args), std::move(reply)});
    }
    void eval(const std::string& script, EvalFeed feed) override {
        std::size_t index = scripts.size();
        feed.set_request(index + 1);
        feed.set_sender([this, index](const Json& v) -> base::Result<void> {
            if (rebuilding) return base::fail("the page is being rebuilt");
            scripts[index].sent.push_back(v);
            return {};
        });
        scripts.push_back(Script{script, feed, {}});
    }

    // While true, sends into scripts fail as they do during a recovery.
    bool rebuilding = false;
    std::vector<Query> queries;
    std::vector<Script> scripts;
};

}  // namespace reactive

// Tests of the dependencies between notebook cells, followed cell by cell.
#include "cell_dependencies.hpp"

#include <gtest/gtest.h>

using namespace trelvo::core;
using Indices = std::vector<std::size_t>;

namespace {

CellNames names(std::vector<std::string> reads, std::set<std::string> binds) {
    CellNames cell;
    cell.reads = std::move(reads);
    cell.binds = std::move(binds);
    return cell;
}

// Records each cell as succeeded with no run-time surprises; returns each cell's needs.
std::vector<CellNeeds> follow(DependencyTracker& tracker, const std::vector<CellNames>& cells) {
    std::vector<CellNeeds> all;
    for (const CellNames& cell : cells) {
        all.push_back(tracker.needs(cell));
        tracker.record(cell, all.back(), {}, Outcome::succeeded);
    }
    return all;
}

}  // namespace

TEST(DependencyTracker, NearestCellThatMentionsTheNameHandsItOnButModulesComeFromTheImporter) {
    CellNames imports = names({}, {"data", "np"});
    imports.imports = {"np"};
    DependencyTracker tracker;
    auto needs = follow(tracker, {
        imports,                                  // 0
        names({"data", "np"}, {"mean"}),          // 1: reads data, so hands it on
        names({"print"}, {"other"}),              // 2: print is a builtin
        names({"data", "mean", "np", "len"}, {}),  // 3
        names({"later"}, {}),                     // 4: bound only by a later cell
        names({}, {"later"}),
    });
    EXPECT_EQ(needs[1].parents, Indices{0});
    EXPECT_TRUE(needs[2].parents.empty());
    EXPECT_EQ(needs[2].unprovided, std::set<std::string>{"print"});
    EXPECT_EQ(needs[3].inputs.at("data"), 1u);
    EXPECT_EQ(needs[3].inputs.at("np"), 0u);
    EXPECT_EQ(needs[3].parents, (Indices{0, 1}));
    EXPECT_TRUE(needs[4].parents.empty());
    // A state comes from the cell that changed it, not from the cells that only read it since.
    DependencyTracker state;
    auto seeded = follow(state, {names({}, {"<numpy.random>"}), names({"<numpy.random>"}, {}),
                                 names({"<numpy.random>"}, {})});
    EXPECT_EQ(seeded[2].inputs.at("<numpy.random>"), 0u);
}

TEST(DependencyTracker, FunctionsBringTheGlobalsTheyReadAndBindTheGlobalsTheyAssign) {
    CellNames defines = names({}, {"model", "helper", "reset"});
    defines.globals_of = {{"model", {"table", "helper"}}, {"helper", {"scale"}}};
    defines.sets_of = {{"reset", {"counter"}}, {"load", {"*"}}};
    DependencyTracker tracker;
    follow(tracker, {names({}, {"table", "scale", "counter"}), defines});
    CellNeeds calls = tracker.needs(names({"model"}, {"result"}));
    EXPECT_EQ(calls.inputs.at("table"), 0u);
    EXPECT_EQ(calls.inputs.at("scale"), 0u);  // through helper, which model calls
    EXPECT_EQ(calls.parents, (Indices{0, 1}));
    CellNeeds resets = tracker.needs(names({"reset"}, {}));
    EXPECT_EQ(resets.also_binds, std::set<std::string>{"counter"});
    EXPECT_EQ(resets.inputs.at("counter"), 0u);  // a possible binding keeps what it found
    EXPECT_FALSE(resets.barrier);
}

TEST(DependencyTracker, RunTimeBindingsAndBarriersAreFollowed) {
    CellNames star = names({}, {});
    star.binds_unseen = true;
    DependencyTracker tracker;
    CellNeeds first = tracker.needs(star);
    EXPECT_TRUE(first.barrier);
    RunFacts facts;
    facts.bound = {"sqrt", "pi"};
    tracker.record(star, first, facts, Outcome::succeeded);
    tracker.record(names({}, {"x"}), tracker.needs(names({}, {"x"})), {}, Outcome::succeeded);
    CellNeeds uses = tracker.needs(names({"sqrt", "x"}, {}));
    EXPECT_EQ(uses.inputs.at("sqrt"), 0u);
    EXPECT_EQ(tracker.needs(names({}, {})).parents, Indices{0});  // the barrier is everyone's parent
    CellNames everything = names({}, {});
    everything.reads_unseen = true;
    CellNeeds all = tracker.needs(everything);
    EXPECT_EQ(all.inputs.size(), 3u);
    EXPECT_EQ(all.parents, (Indices{0, 1}));
}

TEST(DependencyTracker, AFailureTaintsOnlyWhatItWouldHaveBound) {
    DependencyTracker tracker;
    follow(tracker, {names({}, {"rows", "total", "size"})});  // 0
    CellNames broken = names({"rows"}, {"total", "mean"});  // 1 fails
    tracker.record(broken, tracker.needs(broken), {}, Outcome::failed);
    CellNeeds reads_rows = tracker.needs(names({"rows"}, {}));
    EXPECT_TRUE(reads_rows.tainted.empty());  // handed on by the failed cell, untouched
    EXPECT_EQ(reads_rows.inputs.at("rows"), 1u);
    EXPECT_TRUE(tracker.needs(names({"size"}, {})).tainted.empty());
    CellNames report = names({"total"}, {"line"});  // 2 is skipped
    CellNeeds report_needs = tracker.needs(report);
    EXPECT_EQ(report_needs.tainted, (std::map<std::string, std::size_t>{{"total", 1}}));
    tracker.record(report, report_needs, {}, Outcome::skipped);
    EXPECT_EQ(tracker.needs(names({"line"}, {})).tainted.at("line"), 1u);  // named after the failure
    CellNames maybe = names({"mean"}, {"mean"});
    maybe.maybe_binds = {"mean"};
    tracker.record(maybe, tracker.needs(maybe), {}, Outcome::succeeded);
    EXPECT_EQ(tracker.needs(names({"mean"}, {})).tainted.count("mean"), 1u);  // may not have bound it
    tracker.record(names({}, {"total"}), tracker.needs(names({}, {"total"})), {}, Outcome::succeeded);
    EXPECT_TRUE(tracker.needs(names({"total"}, {})).tainted.empty());
}

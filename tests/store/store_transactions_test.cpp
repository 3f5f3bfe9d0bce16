// RunInStoreTransaction's levels: a store failure stands until the outermost level ends, and a move
// the levels do not have stops a debug build where it is made.
#include "transactions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace {

using store::Transactions;

TEST(StoreTransactions, FailureStandsUntilTheOutermostLevelEnds) {
    Transactions t;
    t.Begin();
    t.Begin();
    t.Fail(ERROR_CANTWRITE);
    const Transactions::Ended inner = t.End(ERROR_SUCCESS);
    EXPECT_EQ(inner.result, ERROR_CANTWRITE);  // the body's success does not hide it
    EXPECT_FALSE(inner.failedStore);
    EXPECT_EQ(t.Failed(), ERROR_CANTWRITE);  // the outer level's later calls fail the same way
    const Transactions::Ended outer = t.End(ERROR_SUCCESS);
    EXPECT_EQ(outer.result, ERROR_CANTWRITE);
    EXPECT_TRUE(outer.failedStore);
    EXPECT_FALSE(t.Open());
    EXPECT_EQ(t.Failed(), ERROR_SUCCESS);

    // The next transaction starts clean; one left by an exception takes its failure with it.
    t.Begin();
    t.Fail(ERROR_BUSY);
    t.Abandon();
    EXPECT_EQ(t.Failed(), ERROR_SUCCESS);
    t.Begin();
    const Transactions::Ended clean = t.End(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(clean.result, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(clean.failedStore);
}

struct IllegalMove {
    const char* name;
    const char* assertion;  // the one that stops it
    std::function<void(Transactions&, const std::string& dir)> move;
};

// Each dies on an assertion, which only a debug build has.
TEST(StoreTransactions, IllegalMovesStopADebugBuild) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are off";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a store's connection starts threads
    const std::string dir = testing::TempDir() + "store_transactions_test." + std::to_string(getpid());
    const IllegalMove moves[] = {
        {"end with no level open", "depth_ > 0", [](Transactions& t, const std::string&) { t.End(ERROR_SUCCESS); }},
        {"abandon with no level open", "depth_ > 0", [](Transactions& t, const std::string&) { t.Abandon(); }},
        {"fail with no level open", "depth_ > 0", [](Transactions& t, const std::string&) { t.Fail(ERROR_CANTWRITE); }},
        {"fail with success", "code != ERROR_SUCCESS",
         [](Transactions& t, const std::string&) {
             t.Begin();
             t.Fail(ERROR_SUCCESS);
         }},
        {"a second, other failure", "failure_ == code",
         [](Transactions& t, const std::string&) {
             t.Begin();
             t.Fail(ERROR_CANTWRITE);
             t.Fail(ERROR_BUSY);
         }},
        {"a write joins after a failure", "failure_ == ERROR_SUCCESS",
         [](Transactions& t, const std::string& dir) {
             std::filesystem::create_directories(dir);
             store::Database db(dir + "/joined.db", {});
             store::StatementCache& s = db.ForWrite();
             t.Begin();
             t.Fail(ERROR_CANTWRITE);
             t.Join(db, s);
         }},
    };
    for (const IllegalMove& m : moves) {
        SCOPED_TRACE(m.name);
        Transactions t;
        EXPECT_DEATH(m.move(t, dir), m.assertion);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

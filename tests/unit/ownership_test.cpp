#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/series.hpp"
#include "foundation/collector.hpp"
#include "foundation/hashtable.hpp"
#include "foundation/ownership.hpp"
#include "object_fixtures.hpp"

using namespace kro;
using namespace kro::testing_objects;

namespace {

bool owned_flag(const Cell& s) { return memory::buffer_of(s.data2)->flags & ownership::FLAG_OWNED; }

// The field word and owner context an owned series is entered under ("" when it has none).
std::string entry_word(const Cell& s) {
    Cell* rec = hashtable::get_key(ownership::table, s.data2);
    return rec ? spelling(rec[2]) : "";
}
uint32_t entry_owner(const Cell& s) {
    const Cell* owner = ownership::get_owner(s.data2);
    return owner ? owner->data1 : 0;
}

Cell deep_handler() { return handler({"owner", "word", "target", "action", "new", "index", "part"}); }

// An object whose `list` field holds [1 [2]] and that reports deep changes.
struct Owner {
    Cell inner = block_of({integer(2)});
    Cell list = block_of({integer(1), inner});
    Cell obj = make_object({set_word("list"), list, set_word("on-deep-change*"), deep_handler()});
};

std::vector<std::string> actions_seen() {
    std::vector<std::string> out;
    for (const auto& c : HandlerRecorder::calls()) out.push_back(spelling(c.args[3]));
    return out;
}

}  // namespace

TEST(Ownership, AnOwnerBindsWhatItsFieldsHold) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Owner o;
    EXPECT_TRUE(owned_flag(o.list));
    EXPECT_TRUE(owned_flag(o.inner)) << "nested blocks are bound too";
    EXPECT_EQ(entry_owner(o.list), o.obj.data1);
    EXPECT_EQ(entry_word(o.list), "list");
    EXPECT_EQ(entry_word(o.inner), "list") << "reported under the field that holds it";
    Cell reflect = o.obj;
    object::reflect(&reflect, symbol::make("owner"));
    EXPECT_TRUE(reflect.data1) << "the owner's context is marked";
    EXPECT_EQ(series::owner_of(&o.list).data1, o.obj.data1);
    Cell unowned = block_of({});
    EXPECT_TRUE(series::owner_of(&unowned).is(TYPE_NONE));
    EXPECT_FALSE(owned_flag(unowned));
    EXPECT_EQ(mold::cycle_depth(), 0);
}

TEST(Ownership, ChangesInPlaceCallTheOwnersHandlerBeforeAndAfter) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Owner o;
    HandlerRecorder::calls().clear();
    Cell nine = integer(9), index = integer(2);
    series::poke(&o.list, 2, &nine, &index);
    ASSERT_EQ(HandlerRecorder::calls().size(), 2u);
    EXPECT_TRUE(actions_seen() == (std::vector<std::string>{"poke", "poked"}));
    const HandlerCall& call = HandlerRecorder::calls()[0];
    EXPECT_EQ(call.name, "on-deep-change*");
    EXPECT_EQ(call.kind, function::CALLBACK_ON_DEEP_CHANGE);
    EXPECT_EQ(call.ctx, o.obj.data1);
    ASSERT_EQ(call.args.size(), 7u) << "owner, word, target, action, new value, index, part";
    EXPECT_EQ(call.args[0].data1, o.obj.data1);
    EXPECT_EQ(spelling(call.args[1]), "list");
    EXPECT_EQ(call.args[2].data2, o.list.data2);
    EXPECT_TRUE(call.args[4].is(TYPE_NONE));
    EXPECT_TRUE(call.args[5].is(TYPE_INTEGER));
    EXPECT_EQ(call.args[5].data2, 1u) << "the 0-based index";
    EXPECT_EQ(call.args[6].data2, 1u) << "one unit";

    // the poke above took `inner` out of the list, and with it off the table
    EXPECT_FALSE(owned_flag(o.inner));
    Owner fresh;
    HandlerRecorder::calls().clear();
    series::clear(&fresh.inner);
    EXPECT_TRUE(actions_seen() == (std::vector<std::string>{"clear", "cleared"}));
    EXPECT_EQ(spelling(HandlerRecorder::calls()[0].args[1]), "list") << "a nested block reports its field";
    EXPECT_EQ(HandlerRecorder::calls()[0].args[6].data2, 1u);

    HandlerRecorder::calls().clear();
    Cell one = integer(1);
    series::remove(&o.list, &one, nullptr);
    EXPECT_TRUE(actions_seen() == (std::vector<std::string>{"remove", "removed"}));
}

TEST(Ownership, EventWords) {
    struct Pair {
        series::Event event;
        const char* before;
        const char* after;
    } pairs[] = {
        {series::Event::CLEAR, "clear", "cleared"},     {series::Event::REMOVE, "remove", "removed"},
        {series::Event::POKE, "poke", "poked"},         {series::Event::RANDOM, "random", "randomized"},
        {series::Event::REVERSE, "reverse", "reversed"}, {series::Event::TAKE, "take", "taken"},
        {series::Event::MOVE, "move", "moved"},         {series::Event::SORT, "sort", "sorted"},
        {series::Event::SWAP, "swap", "swaped"},        {series::Event::TRIM, "trim", "trimmed"},
        {series::Event::APPEND, "append", "appended"},  {series::Event::INSERT, "insert", "inserted"},
        {series::Event::CHANGE, "change", "changed"},   {series::Event::PUT, "put", "put-ed"},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.before);
        EXPECT_EQ(spelling(ownership::event_word(int32_t(p.event), false)), p.before);
        EXPECT_EQ(spelling(ownership::event_word(int32_t(p.event), true)), p.after);
    }
}

TEST(Ownership, CyclesSecondOwnersAndNestedObjects) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    // a block that holds itself is bound and unbound once
    Cell loop = block_of({integer(1)});
    block::ks_append(&loop, &loop);
    Cell first = make_object({set_word("loop"), loop, set_word("on-deep-change*"), deep_handler()});
    EXPECT_TRUE(owned_flag(loop));
    EXPECT_EQ(mold::cycle_depth(), 0);

    // a series bound to a second owner keeps the first
    Cell second = make_object({set_word("other"), loop, set_word("on-deep-change*"), deep_handler()});
    EXPECT_EQ(entry_owner(loop), first.data1);
    EXPECT_EQ(entry_word(loop), "loop");
    EXPECT_NE(second.data1, first.data1);

    EXPECT_TRUE(ownership::unbind(&loop));
    EXPECT_FALSE(owned_flag(loop));
    EXPECT_FALSE(ownership::unbind(&loop)) << "no entry left";
    EXPECT_EQ(mold::cycle_depth(), 0);

    // a field holding a plain object: its series are bound under its own field words
    Cell data = block_of({integer(1)});
    Cell sub = make_object({set_word("data"), data});
    Cell outer = make_object({set_word("sub"), sub, set_word("on-deep-change*"), deep_handler()});
    EXPECT_EQ(entry_word(data), "data");
    EXPECT_EQ(entry_owner(data), outer.data1);
    HandlerRecorder::calls().clear();
    series::clear(&data);
    ASSERT_EQ(HandlerRecorder::calls().size(), 2u);
    EXPECT_EQ(HandlerRecorder::calls()[0].args[0].data1, outer.data1);
    EXPECT_EQ(spelling(HandlerRecorder::calls()[0].args[1]), "data");
    // an owner never descends into another owner
    Cell other_list = block_of({});
    Cell inner_owner = make_object({set_word("l"), other_list, set_word("on-deep-change*"), deep_handler()});
    make_object({set_word("child"), inner_owner, set_word("on-deep-change*"), deep_handler()});
    EXPECT_EQ(entry_owner(other_list), inner_owner.data1);
}

TEST(Ownership, UnboundAndHandlerlessOwnersNotifyNobody) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Owner o;
    ownership::unbind(&o.list);
    EXPECT_FALSE(owned_flag(o.inner)) << "what the block holds goes too";
    HandlerRecorder::calls().clear();
    Cell nine = integer(9), index = integer(1);
    series::poke(&o.list, 1, &nine, &index);
    series::clear(&o.inner);
    EXPECT_TRUE(HandlerRecorder::calls().empty());

    Cell plain = make_object({set_word("a"), integer(1)});
    Cell blk = block_of({integer(1)});
    Cell word = w("a");
    ownership::set_owner(&blk, &plain, &word);
    EXPECT_TRUE(owned_flag(blk));
    Cell action = ownership::event_word(0, false);
    EXPECT_FALSE(ownership::check(&blk, &action, nullptr, 0, 1)) << "an owner without handlers";
    series::clear(&blk);
    EXPECT_TRUE(HandlerRecorder::calls().empty());

    // modify 'owned: a block [owner word] binds, none releases
    Cell target = block_of({integer(1), integer(2)});
    Cell spec = block_of({o.obj, w("extra")});
    series::set_owner(&target, &spec);
    EXPECT_EQ(entry_word(target), "extra");
    EXPECT_EQ(series::owner_of(&target).data1, o.obj.data1);
    series::set_owner(&target, &none::value);
    EXPECT_FALSE(owned_flag(target));
    Cell wrong = block_of({integer(1), w("x")});
    EXPECT_EQ(raised([&] { series::set_owner(&target, &wrong); }), "script/invalid-arg");

    Cell range = block_of({block_of({}), block_of({}), block_of({})});
    Cell holder = make_object({set_word("r"), range, set_word("on-deep-change*"), deep_handler()});
    ownership::unbind_range(&range, 1, 2);
    EXPECT_TRUE(owned_flag(*block::at(&range, 0)));
    EXPECT_FALSE(owned_flag(*block::at(&range, 1)));
    EXPECT_FALSE(owned_flag(*block::at(&range, 2)));
    EXPECT_EQ(entry_owner(range), holder.data1);
}

TEST(Ownership, ObjectModifyOwnerAndOwned) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    Cell o = make_object({set_word("a"), integer(1), set_word("on-deep-change*"), deep_handler()});
    Cell blk = block_of({integer(1)});
    Cell field_word = w("owned");
    Cell spec = block_of({blk, w("slot")});
    object::modify(&o, &field_word, &spec, false);
    EXPECT_EQ(entry_owner(blk), o.data1);
    EXPECT_EQ(entry_word(blk), "slot");

    // a plain object released from the table takes its fields' series with it
    Cell inner = block_of({});
    Cell plain = make_object({set_word("x"), inner});
    Cell outer = make_object({set_word("p"), plain, set_word("on-deep-change*"), deep_handler()});
    EXPECT_TRUE(owned_flag(inner));
    Cell nothing = none::value;
    object::modify(&plain, &field_word, &nothing, false);
    EXPECT_FALSE(owned_flag(inner));
    EXPECT_NE(outer.data1, 0u);
}

TEST(Ownership, CollectionsDropTheRecordsOfDeadSeriesAndKeepTheRest) {
    ScratchNumbers numbers;
    HandlerRecorder recorder;
    gc::Rooted owner, list;
    {
        Owner o;
        owner.cell = o.obj;
        list.cell = o.list;
    }
    uint32_t dead_key;
    {
        Owner gone;
        dead_key = gone.list.data2;
    }
    collector::collect();
    EXPECT_EQ(collector::check_heap(), "");
    EXPECT_EQ(hashtable::get_key(ownership::table, dead_key), nullptr) << "a record whose series died goes";
    EXPECT_EQ(entry_owner(list.cell), owner->data1);
    EXPECT_EQ(entry_word(list.cell), "list");
    HandlerRecorder::calls().clear();
    series::clear(list.get());
    EXPECT_TRUE(actions_seen() == (std::vector<std::string>{"clear", "cleared"}))
        << "still reported after a collection";
}

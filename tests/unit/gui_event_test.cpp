// event! from C++: picking fields by index and by word, retyping an event in
// place, and back-end events whose fields come from a record that is live
// only while its dispatch runs.
#include <gtest/gtest.h>

#include "datatypes/event.hpp"
#include "foundation/fire.hpp"
#include "foundation/registry.hpp"
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

std::string molded(const Cell& c) { return mold_text(c, false, true); }

Cell made(const char* spec) {
    Cell s = load_one(spec);
    Cell proto{uint32_t(TYPE_EVENT), 0, 0, 0};
    return *event::make(&proto, &s, TYPE_EVENT);
}

std::string raised_by(const std::function<void()>& f) {
    try {
        f();
    } catch (const Thrown&) {
        return last_raised().category + "/" + last_raised().id;
    }
    return "nothing";
}

TEST(GuiEvent, PickReadsFieldsByIndexAndWordAndRefusesOthers) {
    setup();
    gc::Rooted ev(made("[type: 'key key: #\"a\" offset: 3x4 flags: [shift]]"));
    auto pick = datatype::action<A_PICK>(TYPE_EVENT);
    struct Case {
        int32_t index;
        const char* word;  // picked by word when given
        const char* expected;
    };
    const Case cases[] = {
        {1, nullptr, "key"},      {5, nullptr, "#\"a\""}, {4, nullptr, "3x4"},     {6, nullptr, "0"},
        {7, nullptr, "[shift]"},  {14, nullptr, "true"},  {13, nullptr, "false"},  {15, nullptr, "none"},
        {0, "key", "#\"a\""},     {0, "offset", "3x4"},   {0, "shift?", "true"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word ? c.word : std::to_string(c.index));
        Cell slot = ev.cell;
        Cell w = c.word ? load_one(c.word) : none::value;
        pick(&slot, c.index, c.word ? &w : nullptr);
        EXPECT_EQ(molded(slot), c.expected);
    }
    for (int32_t bad : {0, 16, -1}) {
        Cell slot = ev.cell;
        EXPECT_EQ(raised_by([&] { pick(&slot, bad, nullptr); }), "script/out-of-range") << bad;
    }
    Cell slot = ev.cell;
    Cell unknown = load_one("bogus");
    EXPECT_EQ(raised_by([&] { pick(&slot, 0, &unknown); }), "script/out-of-range");
}

TEST(GuiEvent, SettingTypeRetypesTheEventInPlace) {
    setup();
    Cell ev = made("[type: 'down]");
    Cell click = load_one("click");
    event::set_type(&ev, &click);
    Cell out;
    event::get_field(&ev, event::F_TYPE, &out);
    EXPECT_EQ(molded(out), "click");
    Cell bogus = load_one("bogus");
    EXPECT_EQ(raised_by([&] { event::set_type(&ev, &bogus); }), "script/not-event-type");
    event::get_field(&ev, event::F_TYPE, &out);
    EXPECT_EQ(molded(out), "click");  // unchanged by the refused word
}

TEST(GuiEvent, BackEndEventReadsItsRecordWhileLiveAndNoneAfter) {
    setup();
    gc::Rooted face(load_one("[a]"));  // any value stands for the face here
    struct Case {
        int32_t type;
        event::Record record;
        uint32_t flags;
        const char* live;  // type face window offset key picked flags
    };
    const Case cases[] = {
        {event::KEY, {face.get(), 0, 0, 'q', 0}, 0, "[key [a] none 0x0 #\"q\" 113 []]"},
        {event::KEY, {face.get(), 0, 0, -20, 0}, event::FLAG_SPECIAL, "[key [a] none 0x0 up -20 []]"},
        {event::KEY, {face.get(), 0, 0, -30, 0}, event::FLAG_SPECIAL, "[key [a] none 0x0 none -30 []]"},
        {event::KEY, {face.get(), 0, 0, 9, 0}, event::FLAG_SHIFT, "[key [a] none 0x0 #\"^-\" 9 [shift]]"},
        {event::OVER, {face.get(), 2.9f, -1.5f, 0, 0}, event::FLAG_AWAY | event::FLAG_DOWN,
         "[over [a] none 2x-1 none 0 [away down]]"},
        {event::WHEEL, {face.get(), 1, 1, 0, -1.0f}, event::FLAG_CONTROL, "[wheel [a] none 1x1 none -1.0 [control]]"},
        {event::TIME, {nullptr, 0, 0, 0, 0}, 0, "[time none none 0x0 none 0 []]"},
    };
    for (const Case& c : cases) {
        gc::Rooted kept;
        {
            event::LiveRecord live(c.record);
            kept.cell = event::make_backend(c.type, live, c.flags);
            std::string got = "[";
            for (int32_t f = event::F_TYPE; f <= event::F_FLAGS; f++) {
                Cell out;
                event::get_field(&kept.cell, f, &out);
                if (f > 1) got += ' ';
                got += molded(out);
            }
            EXPECT_EQ(got + "]", c.live);
        }
        // The record is gone: its fields read none; the cell's own stay.
        for (int32_t f : {event::F_FACE, event::F_OFFSET, event::F_KEY, event::F_PICKED}) {
            Cell out;
            event::get_field(&kept.cell, f, &out);
            EXPECT_EQ(molded(out), "none") << c.live << " field " << f;
        }
        Cell type;
        event::get_field(&kept.cell, event::F_TYPE, &type);
        Cell expected = event::type_word(c.type);
        EXPECT_EQ(molded(type), molded(expected));
    }
}

TEST(GuiEvent, NestedRecordsAreFoundByTheirOwnSerial) {
    setup();
    event::Record outer_r;
    outer_r.value = 'a';
    event::LiveRecord outer(outer_r);
    Cell a = event::make_backend(event::KEY, outer, 0);
    {
        event::Record inner_r;
        inner_r.value = 'b';
        event::LiveRecord inner(inner_r);
        Cell b = event::make_backend(event::KEY, inner, 0);
        Cell ka, kb;
        event::get_field(&a, event::F_KEY, &ka);
        event::get_field(&b, event::F_KEY, &kb);
        EXPECT_EQ(molded(ka), "#\"a\"");
        EXPECT_EQ(molded(kb), "#\"b\"");
    }
    Cell ka;
    event::get_field(&a, event::F_KEY, &ka);
    EXPECT_EQ(molded(ka), "#\"a\"");
}

}  // namespace

// The field tables against the records they describe: every member of a
// record is in its table once, in the order of records.hpp, and the fields a
// builder may leave out come last.
#include "vyr/record_fields.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>

namespace {

namespace rf = vyr::record_fields;

struct Span {
    std::size_t offset;
    std::size_t size;
    std::size_t align;
};

template <typename R>
Span span_of(const R& record, const rf::Member<R>& member) {
    return std::visit(
        [&](auto pointer) {
            using T = std::remove_reference_t<decltype(record.*pointer)>;
            const auto* base = reinterpret_cast<const char*>(&record);
            const auto* at = reinterpret_cast<const char*>(&(record.*pointer));
            return Span{static_cast<std::size_t>(at - base), sizeof(T), alignof(T)};
        },
        member);
}

std::size_t round_up(std::size_t n, std::size_t align) { return (n + align - 1) / align * align; }

template <typename R>
void expect_table_covers_record() {
    SCOPED_TRACE(rf::Record<R>::name);
    const R record{};
    std::size_t end = 0;  // where the previous member ended
    bool optional_seen = false;
    std::set<std::string> names;
    for (const auto& field : rf::Record<R>::fields) {
        SCOPED_TRACE(field.name);
        const Span span = span_of(record, field.member);
        // Members lie in their order of declaration: the next one starts right
        // after the previous one, past its alignment padding only. A member left
        // out of the table, listed twice or out of order breaks the chain.
        EXPECT_EQ(span.offset, round_up(end, span.align));
        end = span.offset + span.size;
        EXPECT_TRUE(names.insert(field.name).second) << "listed twice";
        const bool optional = field.presence == rf::Presence::kOptional;
        EXPECT_TRUE(optional || !optional_seen) << "a required field after an optional one";
        optional_seen = optional_seen || optional;
    }
    EXPECT_EQ(round_up(end, alignof(R)), sizeof(R)) << "members after the last field";
}

TEST(RecordFields, EachTableListsEveryMemberInOrder) {
    rf::for_each_record([](auto table) {
        using R = typename decltype(table)::R;
        expect_table_covers_record<R>();
    });
}

}  // namespace

#include "platform/OxList.h"

#include <gtest/gtest.h>

using namespace Lk;

namespace {

struct Counted {
    explicit Counted(int id) : id(id) {}
    virtual ~Counted() { ++destroyed; }
    int id;
    static int destroyed;
};
int Counted::destroyed = 0;

void fill(OxOwnedList<Counted*>& list, int n, int firstId = 0) {
    for (int i = 0; i < n; ++i)
        list.add(new Counted(firstId + i));
}

} // namespace

TEST(OxList, removesInOrderAndMayAddItselfOrOneOfItsElementsWhileGrowing) {
    OxList<OxString> list;
    for (int i = 0; i < 16; ++i)
        list.add(OxString::fromInt(i));
    list.add(list[3]); // the array moves while the argument still points into it
    EXPECT_STREQ("3", list[16].c_str());

    EXPECT_FALSE(list.removeImpl(-1));
    EXPECT_FALSE(list.removeImpl(17));
    EXPECT_TRUE(list.remove(0));
    ASSERT_EQ(16, list.getCount());
    EXPECT_STREQ("1", list[0].c_str());
    EXPECT_FALSE(list.addIfNotExists(list[4]));
    EXPECT_EQ(16, list.getCount());

    list.add(list); // the source is the list that grows
    ASSERT_EQ(32, list.getCount());
    EXPECT_STREQ("3", list[31].c_str());
    list.setCapacity(40, 0); // elements not kept: none may be left counted
    EXPECT_EQ(0, list.getCount());
}

TEST(OxOwnedList, deletesEveryElementExactlyOnce) {
    Counted::destroyed = 0;
    {
        OxOwnedList<Counted*> list;
        fill(list, 5);
        list.setCapacity(2, 1);
        EXPECT_EQ(3, Counted::destroyed);
        EXPECT_EQ(2, list.getCount());
        EXPECT_EQ(1, list[1]->id);

        list.remove(0);
        list.setItem(0, new Counted(7));
        list.add(nullptr);
        EXPECT_TRUE(list.remove(1)); // a null slot is simply removed
        EXPECT_FALSE(list.remove(5));
        EXPECT_EQ(5, Counted::destroyed);
        fill(list, 2);
        list.clear();
        EXPECT_EQ(8, Counted::destroyed);
        fill(list, 2);
    }
    EXPECT_EQ(10, Counted::destroyed);
}

TEST(OxStringList, getTextEndsEveryStringWithTheSeparator) {
    OxStringList strings;
    EXPECT_STREQ("", strings.getText().c_str());
    strings.list.add(OxString("a"));
    strings.list.add(OxString("b"));
    EXPECT_STREQ("a\nb\n", strings.getText().c_str());
    strings.separator = OxString(", ");
    EXPECT_STREQ("a, b, ", strings.getText().c_str());
}

TEST(OxMemBlock, keepsItsDataWhileGrowingAndShrinksOnlyWhenAllowed) {
    for (const int growBy : {100, 0, -5}) {
        OxMemBlock<unsigned char> block(growBy);
        for (int i = 0; i < 300; ++i)
            block.append(static_cast<unsigned char>(i));
        ASSERT_EQ(300, block.count);
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(static_cast<unsigned char>(i), block.data[i]) << growBy;
        const int capacity = block.capacity;
        block.setCapacity(10, 1, 0);
        EXPECT_EQ(capacity, block.capacity) << growBy;
        block.setCapacity(10, 1, 1);
        EXPECT_EQ(10, block.count) << growBy;
    }
}

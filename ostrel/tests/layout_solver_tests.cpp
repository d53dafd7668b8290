#include <ostrel/layout/layout_manager.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <map>

namespace {

using namespace Ostrel::layout::details;

struct placed {
    std::map<std::uint32_t, rect> items;
    rect client{};
    placement_context context()
    {
        placement_context c;
        c.client = &client;
        c.place = [this](std::uint32_t id, const rect& r) { items[id] = r; };
        return c;
    }
};

// A control 7 units (x scale) inside the client's left, top and right edges, 20 high.
std::vector<row> banner(std::uint32_t id, const float* scale)
{
    return {scaled_difference(edge_of(id, left), edge_of(0, left), scale, 7),
            scaled_difference(edge_of(id, top), edge_of(0, top), scale, 7),
            scaled_difference(edge_of(0, right), edge_of(id, right), scale, 7),
            constant_difference(edge_of(id, bottom), edge_of(id, top), 20)};
}

TEST(LayoutSolver, NoConstraintSetsStopsAtOnce)
{
    layout_manager lm;
    placed out;
    auto ctx = out.context();
    EXPECT_FALSE(lm.solve_and_place({0, 0, 100, 100}, ctx));
    EXPECT_TRUE(out.items.empty());
}

TEST(LayoutSolver, FillsMarginsAtEveryScaleAndSizeWithOneDecomposition)
{
    layout_manager lm;
    lm.scale = 1.0f;
    lm.add(banner(10, &lm.scale));
    // A button in the bottom-right corner, 50 x 14 at 96 DPI.
    lm.add({scaled_difference(edge_of(0, right), edge_of(11, right), &lm.scale, 7),
            scaled_difference(edge_of(0, bottom), edge_of(11, bottom), &lm.scale, 7),
            scaled_difference(edge_of(11, right), edge_of(11, left), &lm.scale, 50),
            scaled_difference(edge_of(11, bottom), edge_of(11, top), &lm.scale, 14)});
    placed out;
    auto ctx = out.context();
    ASSERT_TRUE(lm.solve_and_place({0, 0, 300, 200}, ctx));
    EXPECT_EQ(out.items[10], (rect{7, 7, 293, 27}));
    EXPECT_EQ(out.items[11], (rect{243, 179, 293, 193}));
    const auto decompositions = lm.decompositions();
    for (int w : {400, 250, 1000, 301}) {
        ASSERT_TRUE(lm.solve_and_place({0, 0, w, 150}, ctx));
        EXPECT_EQ(out.items[10], (rect{7, 7, w - 7, 27})) << w;
        EXPECT_EQ(out.items[11], (rect{w - 57, 129, w - 7, 143})) << w;
    }
    EXPECT_EQ(lm.decompositions(), decompositions); // the rows stayed: one decomposition

    // A new DPI: reset, scale 2, the spacings follow.
    lm.reset();
    lm.scale = 2.0f;
    ASSERT_TRUE(lm.solve_and_place({0, 0, 450, 300}, ctx));
    EXPECT_EQ(out.items[10], (rect{14, 14, 436, 34}));
    EXPECT_EQ(out.items[11], (rect{336, 258, 436, 286}));
    EXPECT_EQ(lm.decompositions(), decompositions + 1);
}

TEST(LayoutSolver, ContradictionsMeetHalfwayAndFreeVariablesAreZero)
{
    layout_manager lm;
    // Left edge of item 5 wanted at 10 and at 20: least squares puts it at 15.
    lm.add({fixed_value(edge_of(5, left), 10), fixed_value(edge_of(5, left), 20),
            constant_difference(edge_of(5, right), edge_of(5, left), 30)});
    placed out;
    auto ctx = out.context();
    ASSERT_TRUE(lm.solve_and_place({0, 0, 100, 100}, ctx));
    EXPECT_EQ(out.items[5].left, 15);
    EXPECT_EQ(out.items[5].right, 45);
    // Top and bottom are not constrained: 0.
    EXPECT_EQ(out.items[5].top, 0);
    EXPECT_EQ(out.items[5].bottom, 0);
}

TEST(LayoutSolver, CentringRowAndEqualColumns)
{
    layout_manager lm;
    lm.scale = 1.0f;
    // Item 1 centred between the client's edges, 40 wide; items 2 and 3 share the width equally.
    lm.add({centring(edge_of(1, left), edge_of(1, right), edge_of(0, left), edge_of(0, right), 0.5f),
            constant_difference(edge_of(1, right), edge_of(1, left), 40)});
    lm.add({constant_difference(edge_of(2, left), edge_of(0, left), 0),
            constant_difference(edge_of(3, left), edge_of(2, right), 0),
            constant_difference(edge_of(0, right), edge_of(3, right), 0)});
    {
        row equal;
        equal.terms = {edge_of(2, right), edge_of(2, left), edge_of(3, right), edge_of(3, left)};
        equal.coefficients = {1, -1, -1, 1};
        equal.count = 4;
        lm.add({equal});
    }
    placed out;
    auto ctx = out.context();
    ASSERT_TRUE(lm.solve_and_place({0, 0, 200, 100}, ctx));
    EXPECT_EQ(out.items[1].left, 80);
    EXPECT_EQ(out.items[1].right, 120);
    EXPECT_EQ(out.items[2].right, 100);
    EXPECT_EQ(out.items[3].left, 100);
    // A quarter of the way.
    layout_manager quarter;
    quarter.add({centring(edge_of(1, left), edge_of(1, right), edge_of(0, left), edge_of(0, right), 0.25f),
                 constant_difference(edge_of(1, right), edge_of(1, left), 20)});
    placed q;
    auto qctx = q.context();
    ASSERT_TRUE(quarter.solve_and_place({0, 0, 400, 100}, qctx));
    EXPECT_EQ(q.items[1].left, 90);
}

TEST(LayoutSolver, FlexibleHeightSolvesTheClientBottom)
{
    layout_manager lm(true);
    lm.scale = 1.0f;
    lm.add(banner(10, &lm.scale));
    lm.add({scaled_difference(edge_of(11, top), edge_of(10, bottom), &lm.scale, 4),
            constant_difference(edge_of(11, bottom), edge_of(11, top), 30),
            constant_difference(edge_of(11, left), edge_of(10, left), 0),
            constant_difference(edge_of(11, right), edge_of(10, right), 0),
            scaled_difference(edge_of(0, bottom), edge_of(11, bottom), &lm.scale, 7)});
    placed out;
    auto ctx = out.context();
    // Whatever bottom is given, the client's bottom comes from the rows: 7 + 20 + 4 + 30 + 7.
    ASSERT_TRUE(lm.solve_and_place({0, 0, 300, 500}, ctx));
    EXPECT_EQ(out.client, (rect{0, 0, 300, 68}));
    EXPECT_EQ(out.items[11], (rect{7, 31, 293, 61}));
    ASSERT_TRUE(lm.solve_and_place({0, 0, 200, 10}, ctx));
    EXPECT_EQ(out.client, (rect{0, 0, 200, 68}));
}

TEST(LayoutSolver, NestedLayoutPlacesInsideItsItem)
{
    layout_manager lm;
    lm.scale = 1.0f;
    lm.add({constant_difference(nested_edge_of(50, left), edge_of(0, left), 10),
            constant_difference(nested_edge_of(50, top), edge_of(0, top), 10),
            constant_difference(edge_of(0, right), nested_edge_of(50, right), 10),
            constant_difference(edge_of(0, bottom), nested_edge_of(50, bottom), 10)});
    layout_manager& inner = lm.nested(50);
    inner.add({constant_difference(edge_of(7, left), edge_of(0, left), 5), constant_difference(edge_of(7, top), edge_of(0, top), 5),
               constant_difference(edge_of(0, right), edge_of(7, right), 5),
               constant_difference(edge_of(0, bottom), edge_of(7, bottom), 5)});
    placed out;
    auto ctx = out.context();
    ASSERT_TRUE(lm.solve_and_place({0, 0, 200, 100}, ctx));
    EXPECT_EQ(out.items[7], (rect{15, 15, 185, 85}));
    EXPECT_EQ(out.items.count(50), 0u);
}

TEST(LayoutSolver, ConservativeResizeKeepsEveryCoefficient)
{
    layout_manager lm;
    lm.conservative_resize(2, 3);
    const_cast<layout_manager::matrix&>(lm.system())(1, 2) = 5;
    lm.conservative_resize(4, 5);
    EXPECT_EQ(lm.system().rows(), 4);
    EXPECT_EQ(lm.system().cols(), 5);
    EXPECT_EQ(lm.system()(1, 2), 5);
    EXPECT_EQ(lm.system().sum(), 5);
    EXPECT_EQ(lm.right_hand_side().size(), 4);
    EXPECT_EQ(lm.right_hand_side().sum(), 0);
}

TEST(LayoutSolver, ValuesOutsideTheCoordinateRangeBecomeIntMin)
{
    EXPECT_EQ(layout_manager::to_coordinate(std::numeric_limits<float>::quiet_NaN()), INT_MIN);
    EXPECT_EQ(layout_manager::to_coordinate(std::numeric_limits<float>::infinity()), INT_MIN);
    EXPECT_EQ(layout_manager::to_coordinate(-std::numeric_limits<float>::infinity()), INT_MIN);
    EXPECT_EQ(layout_manager::to_coordinate(3e9f), INT_MIN);
    EXPECT_EQ(layout_manager::to_coordinate(-3e9f), INT_MIN);
    EXPECT_EQ(layout_manager::to_coordinate(2.5f), 3);
    EXPECT_EQ(layout_manager::to_coordinate(-2.5f), -3);
    // A NaN scale reaches the placement as INT_MIN, not as an undefined conversion.
    layout_manager lm;
    lm.scale = std::numeric_limits<float>::quiet_NaN();
    lm.add(banner(10, &lm.scale));
    placed out;
    auto ctx = out.context();
    ASSERT_TRUE(lm.solve_and_place({0, 0, 100, 100}, ctx));
    EXPECT_EQ(out.items[10].left, INT_MIN);
}

} // namespace

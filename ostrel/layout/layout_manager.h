#pragma once
// The constraint layout manager: control edges tied by linear rows, solved in the least-squares
// sense, rounded to pixels and placed.
//
// Every item (the client area is item 0) has four variables: left, top, right, bottom, in columns
// 4p..4p+3 for the item's position p in order of first use. A row has up to four terms with their
// coefficients and a right-hand value: a constant, or a length in 96-DPI pixels times a value read
// through a pointer when the row is written (the dialog's scale), so one set of rows serves every
// DPI. Rows 0..3 belong to the client rectangle; they are the only ones that change from pass to
// pass, so the column-pivoting Householder QR of the system is computed once while the rows stay,
// and each later pass is one solve. An inconsistent system gets the least-squares compromise (two
// contradicting rows meet halfway); the free variables of an under-determined one are 0. A value
// that cannot be a coordinate (NaN, infinite, out of 32-bit range) becomes INT_MIN.
//
// With flexible height the client's bottom is not given: the rows decide it and the pass hands the
// solved client rectangle back to the caller, who resizes the window to it.

#include <windows.h>

#include <Eigen/Dense>

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace Ostrel::layout {

namespace tags {
struct flexible_height {};
} // namespace tags

namespace details {

enum edge : std::int32_t { left = 0, top = 1, right = 2, bottom = 3 };

// One coordinate variable: an edge of an item. `key` is -1 once the term is bound, and `column`
// then holds the absolute column; reset restores the key and the edge.
struct term {
    std::int32_t key;
    std::int32_t saved_key;
    std::int32_t column;
    std::int32_t saved_edge;
    bool nested = false;

    void bind(std::int32_t first_column) noexcept
    {
        if (key == -1)
            return;
        saved_key = key;
        saved_edge = column;
        column = first_column + column;
        key = -1;
    }
    void unbind() noexcept
    {
        if (key != -1)
            return;
        key = saved_key;
        column = saved_edge;
    }
};

inline term edge_of(std::uint32_t id, edge e) noexcept
{
    return term{static_cast<std::int32_t>(id), static_cast<std::int32_t>(id), e, e, false};
}
inline term nested_edge_of(std::uint32_t id, edge e) noexcept
{
    return term{static_cast<std::int32_t>(id), static_cast<std::int32_t>(id), e, e, true};
}

// A length in 96-DPI pixels, kept with the scale it is multiplied by when written.
struct spacing {
    float width = 0;
    float height = 0;
    const float* scale = nullptr;
};

struct row {
    std::array<term, 4> terms{};
    std::array<float, 4> coefficients{};
    std::uint8_t count = 0;
    const float* scale = nullptr; // right-hand = *scale * value when set, else value
    float value = 0;

    float right_hand() const noexcept { return scale ? *scale * value : value; }
};

// a - b = scale x length (a length in 96-DPI pixels).
inline row scaled_difference(term a, term b, const float* scale, float length) noexcept
{
    row r;
    r.terms[0] = a;
    r.terms[1] = b;
    r.coefficients = {1, -1, 0, 0};
    r.count = 2;
    r.scale = scale;
    r.value = length;
    return r;
}
// a - b = constant (0: the two edges coincide).
inline row constant_difference(term a, term b, float constant) noexcept
{
    row r;
    r.terms[0] = a;
    r.terms[1] = b;
    r.coefficients = {1, -1, 0, 0};
    r.count = 2;
    r.value = constant;
    return r;
}
// a = constant.
inline row fixed_value(term a, float constant) noexcept
{
    row r;
    r.terms[0] = a;
    r.coefficients = {1, 0, 0, 0};
    r.count = 1;
    r.value = constant;
    return r;
}
// The middle of [lo_edge, hi_edge] of an item lies at `factor` between the edges `from` and `to`
// (0.5: centred).
inline row centring(term lo_edge, term hi_edge, term from, term to, float factor) noexcept
{
    row r;
    r.terms = {lo_edge, hi_edge, from, to};
    r.coefficients = {0.5f, 0.5f, factor - 1.0f, -factor};
    r.count = 4;
    return r;
}

// A group of rows written together. With `grow` the group is appended to the system; without it
// it writes at its fixed start row.
struct constraint_set {
    std::vector<row> rows;
    bool grow = true;
    std::int32_t start_row = -1;
    bool emitted = false;
};

struct rect {
    std::int32_t left, top, right, bottom;
    friend bool operator==(const rect&, const rect&) = default;
};

class layout_manager;

// Where a pass puts its results. A null `place` moves dialog controls with DeferWindowPos into
// *handle (only controls whose rectangle changed); tests give their own.
struct placement_context {
    HDWP* handle = nullptr;
    rect* client = nullptr;
    HWND dialog = nullptr;
    std::function<void(std::uint32_t id, const rect&)> place;
};

class layout_manager {
public:
    using matrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    explicit layout_manager(bool flexible_height = false);
    layout_manager(const layout_manager&) = delete;
    layout_manager& operator=(const layout_manager&) = delete;

    // The first column of an item's four variables; a new item is appended.
    std::int32_t variable_column(std::uint32_t id, bool nested = false);
    std::size_t item_count() const noexcept { return items_.size(); }

    void add(std::vector<row> rows);
    // A nested layout placed inside the solved rectangle of item `id` (its client area).
    layout_manager& nested(std::uint32_t id);

    // Solves for the client rectangle and places every item. Returns false when there is nothing to
    // lay out.
    bool solve_and_place(const rect& client, placement_context& context);

    // Back to the state after construction; the constraint sets stay and are written again by the
    // next pass.
    void reset();

    // The grown system: every coefficient kept, new ones 0; the right-hand side follows the rows.
    void conservative_resize(Eigen::Index rows, Eigen::Index columns);

    const matrix& system() const noexcept { return matrix_; }
    const Eigen::VectorXf& right_hand_side() const noexcept { return rhs_; }
    const Eigen::VectorXf& solution() const noexcept { return solution_; }
    // How many decompositions were computed (the costly step).
    std::uint64_t decompositions() const noexcept { return decompositions_; }
    bool flexible_height() const noexcept { return flexible_; }

    float scale = 0;

    static std::int32_t to_coordinate(float value) noexcept;

private:
    struct item_key {
        std::uint32_t id;
        bool nested;
        friend bool operator==(const item_key&, const item_key&) = default;
    };
    struct key_hash {
        std::size_t operator()(const item_key& k) const noexcept
        {
            std::uint64_t x = (static_cast<std::uint64_t>(k.id) << 1) | (k.nested ? 1u : 0u);
            x ^= x >> 33;
            x *= 0xff51afd7ed558ccdull;
            x ^= x >> 33;
            return static_cast<std::size_t>(x);
        }
    };

    void emit(constraint_set& set);
    void place(const rect& r, std::uint32_t id, placement_context& context);

    std::vector<item_key> items_;
    std::unordered_map<item_key, std::size_t, key_hash> index_;
    std::vector<constraint_set> sets_;
    matrix matrix_;
    Eigen::ColPivHouseholderQR<Eigen::MatrixXf> decomposition_;
    Eigen::VectorXf solution_;
    Eigen::Index decomposed_rows_ = 0;
    Eigen::VectorXf rhs_;
    std::unordered_map<std::uint32_t, std::unique_ptr<layout_manager>> nested_;
    bool client_rows_pending_ = true;
    bool flexible_;
    std::uint64_t decompositions_ = 0;
};

} // namespace details
} // namespace Ostrel::layout

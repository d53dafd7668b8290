#include <ostrel/layout/layout_manager.h>

#include <cmath>

namespace Ostrel::layout::details {

namespace {
constexpr Eigen::Index client_rows = 4;
}

layout_manager::layout_manager(bool flexible_height) : flexible_(flexible_height)
{
    nested_.reserve(8);
    variable_column(0);
}

std::int32_t layout_manager::variable_column(std::uint32_t id, bool nested)
{
    const item_key key{id, nested};
    auto found = index_.find(key);
    if (found != index_.end())
        return static_cast<std::int32_t>(4 * found->second);
    items_.push_back(key);
    index_.emplace(key, items_.size() - 1);
    return static_cast<std::int32_t>(4 * (items_.size() - 1));
}

void layout_manager::add(std::vector<row> rows)
{
    constraint_set set;
    set.rows = std::move(rows);
    sets_.push_back(std::move(set));
}

layout_manager& layout_manager::nested(std::uint32_t id)
{
    auto& slot = nested_[id];
    if (!slot) {
        slot = std::make_unique<layout_manager>(false);
        slot->scale = scale;
    }
    variable_column(id, true);
    return *slot;
}

void layout_manager::conservative_resize(Eigen::Index rows, Eigen::Index columns)
{
    matrix grown = matrix::Zero(rows, columns);
    const Eigen::Index keep_rows = std::min(rows, matrix_.rows());
    const Eigen::Index keep_columns = std::min(columns, matrix_.cols());
    grown.topLeftCorner(keep_rows, keep_columns) = matrix_.topLeftCorner(keep_rows, keep_columns);
    matrix_.swap(grown);
    Eigen::VectorXf rhs = Eigen::VectorXf::Zero(rows);
    const Eigen::Index keep = std::min(rows, rhs_.size());
    rhs.head(keep) = rhs_.head(keep);
    rhs_.swap(rhs);
}

void layout_manager::emit(constraint_set& set)
{
    for (row& r : set.rows)
        for (std::uint8_t t = 0; t < r.count; ++t) {
            term& x = r.terms[t];
            if (x.key != -1)
                x.bind(variable_column(static_cast<std::uint32_t>(x.key), x.nested));
        }
    const Eigen::Index count = static_cast<Eigen::Index>(set.rows.size());
    Eigen::Index first;
    if (set.grow || set.start_row < 0) {
        const Eigen::Index present = std::max(matrix_.rows(), client_rows);
        conservative_resize(present + count, static_cast<Eigen::Index>(4 * items_.size()));
        first = set.start_row >= 0 ? set.start_row : present;
    } else {
        first = set.start_row;
        if (matrix_.cols() < static_cast<Eigen::Index>(4 * items_.size()) || matrix_.rows() < first + count)
            conservative_resize(std::max(matrix_.rows(), first + count), static_cast<Eigen::Index>(4 * items_.size()));
    }
    for (Eigen::Index i = 0; i < count; ++i) {
        const row& r = set.rows[static_cast<std::size_t>(i)];
        for (std::uint8_t t = 0; t < r.count; ++t)
            matrix_(first + i, r.terms[t].column) += r.coefficients[t];
        rhs_(first + i) += r.right_hand();
    }
    set.emitted = true;
}

std::int32_t layout_manager::to_coordinate(float value) noexcept
{
    const float rounded = std::roundf(value);
    if (!(rounded >= -2147483648.0f && rounded < 2147483648.0f))
        return INT_MIN;
    return static_cast<std::int32_t>(rounded);
}

bool layout_manager::solve_and_place(const rect& client, placement_context& context)
{
    for (constraint_set& set : sets_)
        if (!set.emitted)
            emit(set);
    if (rhs_.size() == 0)
        return false;
    const Eigen::Index given = flexible_ ? 3 : 4;
    if (client_rows_pending_) {
        client_rows_pending_ = false;
        matrix_.topLeftCorner(client_rows, 4).setZero();
        rhs_.head(client_rows).setZero();
        for (Eigen::Index k = 0; k < given; ++k)
            matrix_(k, k) = 1.0f;
    }
    const float values[4] = {static_cast<float>(client.left), static_cast<float>(client.top),
                             static_cast<float>(client.right), static_cast<float>(client.bottom)};
    for (Eigen::Index k = 0; k < given; ++k)
        rhs_(k) = values[k];
    if (matrix_.rows() != decomposed_rows_) {
        decomposition_.compute(matrix_);
        decomposed_rows_ = matrix_.rows();
        ++decompositions_;
    }
    solution_.resize(matrix_.cols());
    solution_ = decomposition_.solve(rhs_);
    for (std::size_t k = flexible_ ? 0 : 1; k < items_.size(); ++k) {
        const Eigen::Index c = static_cast<Eigen::Index>(4 * k);
        const rect r{to_coordinate(solution_(c)), to_coordinate(solution_(c + 1)), to_coordinate(solution_(c + 2)),
                     to_coordinate(solution_(c + 3))};
        if (items_[k].nested) {
            auto found = nested_.find(items_[k].id);
            if (found != nested_.end() && found->second) {
                found->second->scale = scale;
                rect inner_client{};
                placement_context inner{context.handle, &inner_client, context.dialog, context.place};
                found->second->solve_and_place(r, inner);
                if (context.handle && inner.handle)
                    context.handle = inner.handle;
            }
            continue;
        }
        place(r, items_[k].id, context);
    }
    return true;
}

void layout_manager::place(const rect& r, std::uint32_t id, placement_context& context)
{
    if (id == 0) {
        if (context.client)
            *context.client = r;
        return;
    }
    if (context.place) {
        context.place(id, r);
        return;
    }
    if (!context.handle || !*context.handle)
        return;
    HWND control = GetDlgItem(context.dialog, static_cast<int>(id));
    if (!control)
        return;
    RECT present{};
    GetWindowRect(control, &present);
    MapWindowPoints(nullptr, context.dialog, reinterpret_cast<POINT*>(&present), 2);
    if (present.left == r.left && present.top == r.top && present.right == r.right && present.bottom == r.bottom)
        return;
    *context.handle = DeferWindowPos(*context.handle, control, nullptr, r.left, r.top, r.right - r.left,
                                     r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void layout_manager::reset()
{
    items_.clear();
    index_.clear();
    matrix_.resize(0, 0);
    decomposition_ = Eigen::ColPivHouseholderQR<Eigen::MatrixXf>();
    decomposed_rows_ = 0;
    rhs_.resize(0);
    solution_.resize(0);
    nested_.clear();
    for (constraint_set& set : sets_) {
        for (row& r : set.rows)
            for (std::uint8_t t = 0; t < r.count; ++t)
                r.terms[t].unbind();
        set.emitted = false;
    }
    variable_column(0);
    client_rows_pending_ = true;
}

} // namespace Ostrel::layout::details

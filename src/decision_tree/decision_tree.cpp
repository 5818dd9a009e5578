// Fitting, prediction and the saved state of the decision tree.
#include "decision_tree/decision_tree.hpp"

#include <numeric>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/rng.hpp"
#include "core/serialize.hpp"
#include "core/validate.hpp"

namespace tw {

namespace {
bool known_task(std::string_view task) { return task == "classification" || task == "regression"; }
}  // namespace

DecisionTree::DecisionTree(std::optional<std::uint64_t> max_depth, std::string criterion,
                           std::string task, std::optional<std::uint64_t> random_state,
                           std::uint64_t min_samples_split, std::uint64_t min_samples_leaf)
    : max_depth_(max_depth),
      random_state_(random_state),
      criterion_(std::move(criterion)),
      task_(std::move(task)),
      min_samples_split_(min_samples_split),
      min_samples_leaf_(min_samples_leaf) {
    if (!known_task(task_)) throw InternalError("task must be 'classification' or 'regression'");
}

void DecisionTree::fit(const MatrixView& x, Vec y, std::optional<Vec> sample_weight,
                       bool missing_values, const std::vector<std::uint16_t>& categories) {
    const std::vector<double> weights = checked_fit_inputs(
        x, y, sample_weight, missing_values ? Refuse::infinite : Refuse::non_finite);
    check_categories(x, categories);
    const bool classification = is_classification();
    std::optional<std::vector<std::uint64_t>> classes;
    if (classification) classes = distinct_classes(y);

    TreeParams params;
    params.max_depth = max_depth_;
    params.max_features = std::nullopt;
    params.min_samples_split = min_samples_split_;
    params.min_samples_leaf = min_samples_leaf_;
    params.is_classification = classification;
    const ExactMissing input =
        missing_values ? ExactMissing::of(x, categories) : ExactMissing{{}, {}, x};
    params.missing_defaults = missing_values;
    params.exact_twins = input.twin_of;
    params.categories = categories;

    Rng rng = seed_rng(random_state_);
    std::vector<std::size_t> positions(x.rows);
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    Tree tree = build_tree_exact(input.view, y, weights, positions, params, rng);

    if (classification) classes_ = std::move(classes);
    tree_ = std::move(tree);
}

void DecisionTree::check_fitted() const {
    if (!tree_) throw ValueError("DecisionTree has not been fitted");
}

void DecisionTree::check_width(const MatrixView& x) const {
    require_width(x, tree_->n_features_used, "x", "the fitted tree reads column");
}

std::vector<double> DecisionTree::predict(const MatrixView& x) const {
    check_fitted();
    check_width(x);
    std::vector<double> out(x.rows);
    tree_->predict_rows(x, out.data());
    return out;
}

std::vector<double> DecisionTree::predict_proba(const MatrixView& x) const {
    check_fitted();
    if (!is_classification()) throw ValueError("predict_proba only available for classification");
    check_width(x);
    const std::vector<std::uint64_t>& classes = *classes_;
    const std::size_t m = classes.size();
    std::vector<double> out(x.rows * m, 0.0);
    std::vector<double> p(m);
    for (std::size_t r = 0; r < x.rows; ++r) {
        tree_->leaf_proba(tree_->leaf_of(x.row(r)), m, p.data());
        double* row = out.data() + r * m;
        for (std::size_t k = 0; k < m; ++k) row[k] = classes[k] < m ? p[classes[k]] : 0.0;
    }
    return out;
}

namespace {
constexpr std::string_view kTag = "DecisionTree";
// Version 2: a tree whose splits carry taught missing sides (package door);
// version 3: one with category-set splits, which keeps their sets.
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMissingVersion = 2;
constexpr std::uint32_t kCategoryVersion = 3;
}  // namespace

std::string DecisionTree::save() const {
    const bool sets = tree_ && tree_->has_categories();
    Writer w(kTag, sets ? kCategoryVersion
                   : tree_ && tree_->has_saved_missing() ? kMissingVersion
                                                         : kVersion);
    w.write_category_sets(sets);
    w.opt_u64(max_depth_);
    w.opt_u64(random_state_);
    w.text(criterion_);
    w.text(task_);
    w.u64(min_samples_split_);
    w.u64(min_samples_leaf_);
    w.flag(classes_.has_value());
    if (classes_) w.u64s(*classes_);
    w.flag(tree_.has_value());
    if (tree_) w.tree(*tree_);
    return w.bytes();
}

DecisionTree DecisionTree::load(std::string_view state, bool missing_values) {
    Reader r(state, kTag, missing_values ? kCategoryVersion : kVersion);
    r.allow_missing_sides(r.version() >= kMissingVersion);
    r.allow_category_sets(r.version() >= kCategoryVersion);
    auto max_depth = r.opt_u64();
    auto random_state = r.opt_u64();
    std::string criterion = r.text();
    std::string task = r.text();
    const std::uint64_t split = r.u64();
    const std::uint64_t leaf = r.u64();
    if (!known_task(task)) Reader::fail("unknown task");
    DecisionTree model(max_depth, std::move(criterion), std::move(task), random_state, split, leaf);
    if (r.flag()) model.classes_ = r.u64s();
    if (r.flag()) model.tree_ = r.tree();
    r.finish();
    if (model.is_classification() != model.classes_.has_value() && model.tree_) {
        Reader::fail("class list does not match the task");
    }
    if (missing_values && model.tree_) model.tree_->set_missing_defaults();
    return model;
}

}  // namespace tw

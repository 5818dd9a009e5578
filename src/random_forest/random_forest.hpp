// Bagged forests of histogram trees: planned on the calling thread, grown in
// parallel on the worker pool, predicted row-parallel.
//
// Fits through the package door may ask for more than the trees (FitOptions):
// smaller bootstrap samples, per-sample class weights, out-of-bag
// predictions, warm starts. Such fits keep a fit record, from which every
// tree's sample can be drawn again (its out-of-bag rows are the rows it never
// drew). Terms:
//  fit record   the forest generator as the last plan left it, the shape and
//               a hash of the training data, and per tree how it drew its
//               sample (the generator before its draws and the draw count).
//  in-bag       a row the tree's sample drew at least once; out-of-bag: never.
//  warm start   a fit that keeps the trees of a fitted forest and grows the
//               missing ones up to n_estimators from its recorded generator,
//               so that the forest equals one grown at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grow/grow.hpp"
#include "histogram/histogram.hpp"
#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "random_forest/leaf_samples.hpp"
#include "tree/node_totals.hpp"
#include "tree/packed.hpp"
#include "tree/tree.hpp"

namespace tw {

struct HistogramData;

struct ForestSettings {
    std::uint64_t n_estimators = 100;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
};

// Plans n_estimators trees from one forest generator seeded with `seed` (per
// tree: its sample of x.rows positions, drawn when bootstrapping, then its
// tree seed; see ensemble/bootstrap.hpp), bins x once and grows the trees on
// the pool. Tree i of the result comes from plan i. x, y and the weights must
// have x.rows entries.
std::vector<Tree> grow_forest(const MatrixView& x, Vec y, Vec weights, const TreeParams& params,
                              std::uint64_t n_estimators, bool bootstrap,
                              std::optional<std::uint64_t> seed);

// Options of a fit. The defaults grow exactly the forest of the `_rs`
// classes and keep no fit record.
class ForestCore;
struct FitOptions {
    bool record = false;                       // keep a fit record (needed by the rest)
    std::optional<std::uint64_t> max_samples;  // positions per bootstrap sample; absent = rows
    bool balanced_subsample = false;           // classifier: class weights balanced per sample
    bool oob = false;                          // out-of-bag predictions of the training rows
    // Growth limit of the new trees (grow/grow.hpp); 0 grows as `_rs` does.
    double min_impurity_decrease = 0.0;
    // The new trees split by the extremely randomised rule (grow/grow.hpp).
    bool random_splits = false;
    // Leaf limit of the new trees, grown best first (grow/grow.hpp).
    std::optional<std::uint64_t> max_leaf_nodes;
    // Classifier: the impurity the new trees' splits decrease. A warm start
    // keeps it: it must be the fitted forest's.
    split::Criterion criterion = split::Criterion::kGini;
    // x may hold missing values (NaN), and every split of the new trees
    // stores a missing side (grow/grow.hpp, TreeParams::missing_defaults).
    bool missing_values = false;
    // Trees grown with the faster arithmetic (TreeParams::fast_growth).
    bool fast_growth = false;
    // Per column, 0 or its number of categories (core/validate.hpp,
    // check_categories); empty when no column is categorical. A warm start
    // must give the fitted forest's.
    std::vector<std::uint16_t> categories;
    // How the new trees' histogram bins the columns.
    BinSettings bins;
    // Warm start: a fitted forest of the same class (possibly this one)
    // whose trees the fit keeps, growing the rest up to n_estimators.
    const ForestCore* warm_start = nullptr;
};

// How one tree drew its sample: the forest generator before its draws and
// the number of positions drawn (0: no bootstrap, every row once).
struct TreeDraws {
    Rng draws;
    std::uint64_t positions = 0;
};

struct FitRecord {
    Rng forest;                   // the forest generator after the last plan
    std::uint64_t rows = 0;       // training rows
    std::uint64_t cols = 0;       // training columns
    std::uint64_t data_hash = 0;  // forest_data_hash of the training x and y
    // Warm starts grew trees on different training data: no out-of-bag
    // analyses then.
    bool mixed = false;
    std::vector<TreeDraws> draws;  // per tree
    // Per tree: empty, or per node the in-bag weight of a regression leaf
    // (kept when the rows' weights are not all 1; see tree/node_totals.hpp).
    std::vector<std::vector<double>> leaf_weight;
    // Regression forests: the training rows in every leaf (leaf_samples.hpp);
    // absent for classifiers, warm starts on other data, states of earlier
    // releases and training sets above LeafSamples::kMaxRows rows.
    std::optional<LeafSamples> samples;
};

// Out-of-bag predictions of the training rows after a fit asking for them:
// per row, the sum over the trees it is out of bag for, in tree order, of
// the tree's class shares (or value), divided by their number; NaN for rows
// that are in bag everywhere.
struct OobPredictions {
    std::size_t width = 0;             // classes, or 1
    std::vector<double> mean;          // rows x width
    std::vector<std::uint32_t> count;  // trees per row
};

// The nodes each row passes through, tree after tree, as a sparse indicator
// matrix in compressed-row form; node j of tree t is column offsets[t] + j.
struct DecisionPaths {
    std::vector<std::uint64_t> row_begin;  // rows + 1
    std::vector<std::uint64_t> columns;    // ascending within a row
    std::vector<std::uint64_t> offsets;    // trees + 1
};

// Out-of-bag permutation importance: per tree, the drop of its score on its
// out-of-bag rows when one feature's values are permuted among those rows
// (accuracy for classifiers, R^2 with the variance of all training targets
// for regressors), averaged over the trees, once per repeat.
struct PermutationImportance {
    std::size_t repeats = 0;
    std::vector<double> drops;  // n_features x repeats
};

// A 64-bit hash of the training data, which a warm start or an out-of-bag
// analysis checks against the fit record.
std::uint64_t forest_data_hash(const MatrixView& x, Vec y);

// forest_data_hash taken in pieces: the rows of x in consecutive blocks (in
// order), then y; the result equals forest_data_hash of the whole.
class DataHash {
public:
    DataHash(std::uint64_t rows, std::uint64_t cols, std::uint64_t targets)
        : lanes_{rows, cols, targets, 0x5851F42D4C957F2Dull}, cols_(rows == 0 ? 0 : cols) {}
    // Resumes from saved lanes (lanes()).
    DataHash(const std::uint64_t (&lanes)[4], std::uint64_t cols)
        : lanes_{lanes[0], lanes[1], lanes[2], lanes[3]}, cols_(cols) {}
    void add_rows(const MatrixView& block);  // block.cols must be the data's columns
    std::uint64_t finish(Vec y);
    const std::uint64_t* lanes() const { return lanes_; }

private:
    std::uint64_t lanes_[4];
    std::uint64_t cols_;
};

struct ForestPlan;

// What both forests share: settings, trees, prediction copy, fit record and
// the analyses of the fitted trees. width_ is the number of classes, or 0
// for the regressor.
class ForestCore {
public:
    const ForestSettings& settings() const { return s_; }
    bool is_fitted() const { return fitted_; }
    const std::vector<Tree>& trees() const { return trees_; }
    const std::optional<FitRecord>& record() const { return record_; }
    // The last fit's out-of-bag predictions (empty unless it asked for them).
    const OobPredictions& oob() const { return oob_; }
    // The impurity the trees' splits decreased (Gini unless a fit through
    // FitOptions asked for another); the importances measure it.
    split::Criterion criterion() const { return criterion_; }

    // Leaf index of every row in every tree: rows x trees, row-major.
    std::vector<std::uint32_t> apply(const MatrixView& x) const;
    DecisionPaths decision_path(const MatrixView& x) const;
    // The positions tree t grew on, in draw order (needs a fit record).
    std::vector<std::size_t> sample_indices(std::size_t t) const;
    // Node weights and values of tree t.
    NodeTotals tree_totals(std::size_t t) const;
    // Mean decrease in impurity (by criterion()) over n_features columns:
    // each tree's split decreases normalised to sum to 1, averaged over the
    // trees that split, normalised again; zeros when no tree splits.
    std::vector<double> feature_importances(std::size_t n_features) const;
    // x and y must be the training data of the fit that made the record.
    PermutationImportance oob_permutation_importance(const MatrixView& x, Vec y,
                                                     std::size_t repeats,
                                                     std::optional<std::uint64_t> seed) const;

    // Planned forests grown in batches (random_forest/batches.hpp): the plan
    // of a fit with a record on rows x cols training data, and the saved
    // batch of trees [first, end) of a plan grown on the binned training
    // matrix `hist` (bins only: no values) with targets y and row weights.
    ForestPlan plan_batches(std::size_t rows, std::size_t cols, const FitOptions& options) const;
    std::string grow_batch(const HistogramData& hist, Vec y, std::span<const double> weights,
                           const ForestPlan& plan, std::size_t first, std::size_t end) const;

protected:
    // Installs the saved batches of `plan`, which must hold its trees in
    // order, as the fitted forest: the same forest, record and out-of-bag
    // predictions as a fit of the plan's options on the training data whose
    // forest_data_hash is data_hash (targets y, row weights `weights`).
    void merge_batches(const ForestPlan& plan, std::span<const std::string_view> batches,
                       std::uint64_t data_hash, Vec y, std::span<const double> weights,
                       std::span<const std::uint64_t> classes);
    // Pieces of fit_recorded: the option checks for n training rows, the
    // new trees' growth parameters, the dense class of every row (balanced
    // samples only), and the installation of a finished fit.
    void check_fit_options(std::size_t n, const FitOptions& options) const;
    TreeParams recorded_params(std::size_t cols, const FitOptions& options) const;
    std::vector<std::uint32_t> dense_classes(Vec y, std::span<const std::uint64_t> classes,
                                             const FitOptions& options) const;
    // surveys: empty, or per tree its survey for the prediction copies
    // (PackedForest::TreeSurvey), where taken; edges: the bin edges of the
    // surveys taken on edges.
    void install(std::vector<Tree> trees, FitRecord record, OobPredictions oob,
                 std::size_t n_classes, split::Criterion criterion,
                 std::vector<PackedForest::TreeSurvey> surveys = {},
                 std::span<const std::vector<double>> edges = {});
    ForestCore(ForestSettings settings, const char* name, bool classification)
        : s_(std::move(settings)), name_(name), classification_(classification) {}
    // ValueError unless fitted with at least one tree.
    void check_fitted_trees() const;
    // The fit through FitOptions: grows (or, warm starting, adds) the trees
    // and replaces trees_, record_ and oob_ when it succeeds. classes are
    // the classifier's classes (empty for the regressor).
    void fit_recorded(const MatrixView& x, Vec y, std::span<const double> weights,
                      std::span<const std::uint64_t> classes, const FitOptions& options);
    std::span<const double> leaf_weight(std::size_t t) const;
    // ValueError unless x has the columns the trees read.
    void check_rows(const MatrixView& x) const;
    // Tree t's sample drawn again from the fit record (rows = record rows).
    void replay_sample(std::size_t t, std::vector<std::size_t>& out) const;
    // How often that sample draws each row (the leaf samples' DrawCounts).
    void draw_counts(std::size_t t, std::vector<std::uint32_t>& counts) const;
    // Builds the lists of the leaf samples' pending trees (record_ must
    // hold samples), walking them on the prediction copy's coded trees
    // where it has them.
    void build_leaf_samples() const;

    ForestSettings s_;
    const char* name_;
    bool classification_;
    std::size_t width_ = 0;
    std::vector<Tree> trees_;
    PackedForest packed_;  // prediction copy of trees_
    bool fitted_ = false;
    std::optional<FitRecord> record_;
    OobPredictions oob_;
    split::Criterion criterion_ = split::Criterion::kGini;
};

class RandomForestClassifier : public ForestCore {
public:
    static constexpr const char* name() { return "RandomForestClassifier"; }
    explicit RandomForestClassifier(ForestSettings settings)
        : ForestCore(std::move(settings), name(), true) {}

    void fit(const MatrixView& x, Vec y, const std::optional<Vec>& sample_weight,
             const FitOptions& options = {});
    // Row-major rows x n_classes().
    std::vector<double> predict_proba(const MatrixView& x) const;
    std::vector<double> predict(const MatrixView& x) const;
    double score(const MatrixView& x, Vec y) const;

    std::size_t n_classes() const { return classes_ ? classes_->size() : 0; }
    const std::optional<std::vector<std::uint64_t>>& classes() const { return classes_; }

    // Saved state (settings and fitted forest, and the fit record when there
    // is one) for pickling; load validates it fully and throws ValueError on
    // a corrupted or foreign state. States with a fit record load only when
    // with_record allows them (the `_rs` classes never write or read them).
    std::string save() const;
    static RandomForestClassifier load(std::string_view state, bool with_record = false);

    // Installs the batches of a plan (ForestCore::merge_batches).
    void merge(const ForestPlan& plan, std::span<const std::string_view> batches,
               std::uint64_t data_hash, Vec y, std::span<const double> weights);

private:
    void check_predictable(const MatrixView& x) const;

    std::optional<std::vector<std::uint64_t>> classes_;
};

class RandomForestRegressor : public ForestCore {
public:
    static constexpr const char* name() { return "RandomForestRegressor"; }
    explicit RandomForestRegressor(ForestSettings settings)
        : ForestCore(std::move(settings), name(), false) {}

    void fit(const MatrixView& x, Vec y, const std::optional<Vec>& sample_weight,
             const FitOptions& options = {});
    std::vector<double> predict(const MatrixView& x) const;

    // Quantile regression forest (leaf_samples.hpp): per row of x the
    // quantiles at `levels` (each in [0, 1]), rows x levels.
    std::vector<double> predict_quantiles(const MatrixView& x, std::span<const double> levels) const;
    // The same for every training row from the trees that left it out.
    std::vector<double> oob_quantiles(std::span<const double> levels) const;
    // Out-of-bag prediction intervals at level 1 - alpha, rows x 2:
    // jackknife+-after-bootstrap, or conformalised quantiles.
    enum class Interval { jackknife, quantile };
    std::vector<double> predict_interval(const MatrixView& x, double alpha, Interval method) const;
    // Whether the fit kept the leaf samples those need.
    bool has_leaf_samples() const { return record_ && record_->samples.has_value(); }
    // Training rows times the trees whose leaf samples are still pending:
    // the work the next query adds to build them.
    std::size_t pending_sample_work() const {
        return has_leaf_samples() ? record_->rows * record_->samples->pending_trees() : 0;
    }

    std::string save() const;
    static RandomForestRegressor load(std::string_view state, bool with_record = false);

    void merge(const ForestPlan& plan, std::span<const std::string_view> batches,
               std::uint64_t data_hash, Vec y, std::span<const double> weights);

private:
    const LeafSamples& leaf_samples() const;
};

}  // namespace tw

#pragma once

// What the tests of the model kinds share: the layers of a transformer written as plain loops in double
// precision, to check a kind's arithmetic against, and the loading of a model folder with an altered
// model.json.

#include "System/ML/Model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

namespace ModelTesting {

using Matrix = std::vector<std::vector<double>>; // [rows][columns]

inline std::vector<double> tensor(const System::ML::SafeTensors& weights, const std::string& name) {
    const auto values = weights.floats(name);
    return {values.begin(), values.end()};
}

// y[t][o] = bias[o] + Σ_i w[o][i] · x[t][i], from the tensors "<name>.weight" and "<name>.bias".
inline Matrix linear(const System::ML::SafeTensors& weights, const Matrix& x, const std::string& name,
                     bool hasBias = true) {
    const auto w = tensor(weights, name + ".weight");
    const auto b = hasBias ? tensor(weights, name + ".bias") : std::vector<double>();
    const std::size_t inputs = x[0].size();
    const std::size_t outputs = w.size() / inputs;
    Matrix y(x.size(), std::vector<double>(outputs));
    for (std::size_t t = 0; t < x.size(); ++t) {
        for (std::size_t o = 0; o < outputs; ++o) {
            double sum = hasBias ? b[o] : 0;
            for (std::size_t i = 0; i < inputs; ++i) {
                sum += w[o * inputs + i] * x[t][i];
            }
            y[t][o] = sum;
        }
    }
    return y;
}

// Each row normalised to zero mean and unit variance (ε = 1e-5), times "<name>.weight" plus "<name>.bias".
inline Matrix norm(const System::ML::SafeTensors& weights, const Matrix& x, const std::string& name) {
    const auto gamma = tensor(weights, name + ".weight");
    const auto beta = tensor(weights, name + ".bias");
    Matrix y = x;
    for (auto& row : y) {
        double mean = 0, variance = 0;
        for (double v : row) {
            mean += v / double(row.size());
        }
        for (double v : row) {
            variance += (v - mean) * (v - mean) / double(row.size());
        }
        for (std::size_t c = 0; c < row.size(); ++c) {
            row[c] = (row[c] - mean) / std::sqrt(variance + 1e-5) * gamma[c] + beta[c];
        }
    }
    return y;
}

inline void gelu(Matrix& x) {
    for (auto& row : x) {
        for (double& v : row) {
            v = v * 0.5 * (1 + std::erf(v / std::sqrt(2.0)));
        }
    }
}

inline void add(Matrix& x, const Matrix& y) {
    for (std::size_t t = 0; t < x.size(); ++t) {
        for (std::size_t c = 0; c < x[t].size(); ++c) {
            x[t][c] += y[t][c];
        }
    }
}

// Attention of the rows of q over the rows of k and v with `heads` heads; a causal one lets row i see rows
// 0 … i. The weights of each head go to (*headWeights)[head][i][j] when asked for.
inline Matrix attend(const Matrix& q, const Matrix& k, const Matrix& v, int heads, bool causal,
                     std::vector<Matrix>* headWeights = nullptr) {
    const std::size_t width = q[0].size();
    const int d = int(width) / heads;
    Matrix mixed(q.size(), std::vector<double>(width, 0.0));
    if (headWeights) {
        headWeights->assign(heads, Matrix(q.size(), std::vector<double>(k.size(), 0.0)));
    }
    for (int h = 0; h < heads; ++h) {
        for (std::size_t i = 0; i < q.size(); ++i) {
            const std::size_t seen = causal ? i + 1 : k.size();
            std::vector<double> w(seen);
            double largest = -INFINITY;
            for (std::size_t j = 0; j < seen; ++j) {
                double dot = 0;
                for (int c = h * d; c < (h + 1) * d; ++c) {
                    dot += q[i][c] * k[j][c];
                }
                w[j] = dot / std::sqrt(double(d));
                largest = std::max(largest, w[j]);
            }
            double total = 0;
            for (double& x : w) {
                x = std::exp(x - largest);
                total += x;
            }
            for (std::size_t j = 0; j < seen; ++j) {
                if (headWeights) {
                    (*headWeights)[h][i][j] = w[j] / total;
                }
                for (int c = h * d; c < (h + 1) * d; ++c) {
                    mixed[i][c] += w[j] / total * v[j][c];
                }
            }
        }
    }
    return mixed;
}

// Every input of the model as zeros, except those given.
inline System::ML::DictionaryFeatureProvider inputsWith(const System::ML::Model& model,
                                                        std::map<std::string, System::ML::MultiArray> given) {
    std::map<std::string, System::ML::FeatureValue> values;
    for (const auto& [name, description] : model.modelDescription().inputDescriptionsByName) {
        const auto& constraint = *description.multiArrayConstraint;
        values.emplace(name, given.contains(name)
                                 ? given.at(name)
                                 : System::ML::MultiArray(constraint.shape, constraint.dataType));
    }
    return System::ML::DictionaryFeatureProvider(std::move(values));
}

struct ManifestChange {
    const char* name;
    std::function<void(nlohmann::json&)> change;
    const char* expected; // part of the error's description
    System::ML::ModelError::Reason reason = System::ML::ModelError::Reason::invalidModel;
};

// Loads a copy of the model folder `good` with each change made to its model.json, and expects each load to
// fail with an error of the change's reason that says `expected`.
inline void expectRefused(const std::filesystem::path& good, const std::filesystem::path& scratch,
                          const std::vector<ManifestChange>& changes) {
    ASSERT_NO_THROW(System::ML::Model::load(good));
    nlohmann::json manifest;
    std::ifstream(good / "model.json") >> manifest;
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        const auto path = scratch / (std::string(change.name) + ".mlmodelc");
        std::filesystem::create_directories(path);
        if (std::filesystem::exists(good / "weights.safetensors")) {
            std::filesystem::copy_file(good / "weights.safetensors", path / "weights.safetensors");
        }
        nlohmann::json changed = manifest;
        change.change(changed);
        std::ofstream(path / "model.json") << changed.dump();
        try {
            System::ML::Model::load(path);
            ADD_FAILURE() << "loaded";
        } catch (const System::ML::ModelError& error) {
            EXPECT_EQ(error.reason(), change.reason) << error.description();
            EXPECT_NE(error.description().find(change.expected), std::string::npos) << error.description();
        }
    }
}

} // namespace ModelTesting

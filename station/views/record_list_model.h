// The rows of a record list (alarms, history events): the running numbers of the document's
// map, in the list's order; a row's texts are looked up in the map when the list asks for
// them, so a row whose record has gone shows nothing.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <algorithm>
#include <array>
#include <map>
#include <utility>
#include <vector>

namespace station {

template <typename Record, int Columns>
class RecordListModel : public QAbstractTableModel {
  public:
    static constexpr int kColumns = Columns;
    using Map = std::map<int, Record>;
    using CellText = QString (*)(const Record&, int column);
    // Negative, 0 or positive, as `a` orders before, with or after `b` by `column`.
    using Compare = int (*)(const Record& a, const Record& b, int column);

    RecordListModel(const Map& map, std::array<const char*, Columns> headings, CellText cell,
                    Compare compare, QObject* parent = nullptr)
        : QAbstractTableModel(parent),
          map_(map),
          headings_(headings),
          cell_(cell),
          compare_(compare) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(keys_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : Columns;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid()) return {};
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        if (role != Qt::DisplayRole) return {};
        const Record* r = At(index.row());
        return r ? cell_(*r, index.column()) : QString();
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || section < 0 || section >= Columns) return {};
        if (role == Qt::DisplayRole) return QString::fromLatin1(headings_[section]);
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        return {};
    }

    // One row per record of the map, in the map's order.
    void Fill() {
        beginResetModel();
        keys_.clear();
        for (const auto& entry : map_)
            keys_.push_back(entry.first);
        endResetModel();
    }
    // Ascending by `column`, always; each row's record is looked up once, and rows whose
    // record has gone compare equal.
    void SortBy(int column) {
        beginResetModel();
        std::vector<std::pair<int, const Record*>> rows;
        rows.reserve(keys_.size());
        for (int key : keys_) {
            const auto it = map_.find(key);
            rows.emplace_back(key, it == map_.end() ? nullptr : &it->second);
        }
        const Compare compare = compare_;
        std::stable_sort(rows.begin(), rows.end(), [compare, column](const auto& a, const auto& b) {
            return a.second && b.second && compare(*a.second, *b.second, column) < 0;
        });
        for (size_t i = 0; i < rows.size(); ++i)
            keys_[i] = rows[i].first;
        endResetModel();
    }

    const std::vector<int>& Keys() const { return keys_; }
    int RowOf(int key) const {
        const auto it = std::find(keys_.begin(), keys_.end(), key);
        return it == keys_.end() ? -1 : static_cast<int>(it - keys_.begin());
    }
    // The record of `row`, or null when the row is out of range or its record has gone.
    const Record* At(int row) const {
        if (row < 0 || row >= static_cast<int>(keys_.size())) return nullptr;
        const auto it = map_.find(keys_[static_cast<size_t>(row)]);
        return it == map_.end() ? nullptr : &it->second;
    }

  private:
    const Map& map_;
    std::array<const char*, Columns> headings_;
    CellText cell_;
    Compare compare_;
    std::vector<int> keys_;
};

}  // namespace station

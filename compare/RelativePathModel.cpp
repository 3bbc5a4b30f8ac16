#include "compare/RelativePathModel.h"

RelativePathModel::RelativePathModel(QObject* parent) : QAbstractListModel(parent) {}

void RelativePathModel::SetPaths(std::vector<std::string> paths) {
  beginResetModel();
  paths_ = std::move(paths);
  endResetModel();
}

QString RelativePathModel::Text(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= paths_.size()) return {};
  const std::string& p = paths_[static_cast<size_t>(row)];
  return QString::fromUtf8(p.data(), static_cast<qsizetype>(p.size()));
}

int RelativePathModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(paths_.size());
}

QVariant RelativePathModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  return Text(index.row());
}

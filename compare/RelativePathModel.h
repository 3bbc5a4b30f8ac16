// The item model behind the comparison window's two lists: relative paths
// kept as their exact bytes, shown as (lossily decoded) UTF-8 text. Filled in
// one step, already sorted, so 100,000 items cost one model reset.
#pragma once

#include <string>
#include <vector>

#include <QAbstractListModel>

class RelativePathModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit RelativePathModel(QObject* parent = nullptr);

  // Replaces all items; `paths` must already be in display order.
  void SetPaths(std::vector<std::string> paths);
  const std::vector<std::string>& Paths() const { return paths_; }

  // The display text of a row (what the list shows).
  QString Text(int row) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  std::vector<std::string> paths_;
};

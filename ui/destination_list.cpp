#include "ui/destination_list.h"

#include <QByteArray>
#include <QComboBox>
#include <QSignalBlocker>

#include "settings/app_settings.h"

namespace velmorix::ui {

void FillDestinationList(QComboBox* list, const AppSettings& settings) {
  const QSignalBlocker blocker(list);
  list->clear();
  for (int index = 0; index < settings.profileCount; ++index) {
    InsertDestinationName(list, settings.profiles[index].name);
  }
  list->setCurrentIndex(-1);
}

bool FillDestinationListAndSelect(QComboBox* list, AppSettings& settings) {
  FillDestinationList(list, settings);
  if (settings.lastFtp < -1 || settings.lastFtp >= list->count()) {
    settings.lastFtp = -1;
  }
  if (settings.profileCount > 0 && settings.lastFtp == -1) {
    settings.lastFtp = 0;
  }
  if (settings.lastFtp < 0) {
    return false;
  }
  list->setCurrentIndex(settings.lastFtp);
  settings.FindProfile(DestinationNameAt(list, settings.lastFtp));
  return true;
}

int InsertDestinationName(QComboBox* list, const std::string& name) {
  // Binary search for the first item that sorts after `name`, so that equal
  // names (which only outside edits of the stored settings can produce)
  // keep their profile order.
  int low = 0;
  int high = list->count();
  while (low < high) {
    const int middle = (low + high) / 2;
    if (DestinationNameAt(list, middle) <= name) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  const QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
  list->insertItem(low, QString::fromUtf8(bytes), bytes);
  return low;
}

std::string DestinationNameAt(const QComboBox* list, int position) {
  if (position < 0 || position >= list->count()) {
    return {};
  }
  return list->itemData(position).toByteArray().toStdString();
}

}  // namespace velmorix::ui

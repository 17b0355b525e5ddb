#include "ui/destination_list.h"

#include <QByteArray>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVariant>

#include "settings/app_settings.h"
#include "settings/destinations.h"

namespace velmorix::ui {
namespace {

constexpr const char* kShownBytes = "velmorixShownBytes";
constexpr const char* kShownText = "velmorixShownText";

}  // namespace

void FillDestinationList(QComboBox* list, const AppSettings& settings) {
  const QSignalBlocker blocker(list);
  list->clear();
  for (int index : SortedProfiles(settings)) {
    const std::string& name = settings.profiles[index].name;
    const QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
    list->addItem(QString::fromUtf8(bytes), bytes);
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

std::string DestinationNameAt(const QComboBox* list, int position) {
  if (position < 0 || position >= list->count()) {
    return {};
  }
  return list->itemData(position).toByteArray().toStdString();
}

void ShowFieldBytes(QLineEdit* field, const std::string& bytes) {
  const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
  field->setText(QString::fromUtf8(raw));
  field->setProperty(kShownBytes, raw);
  field->setProperty(kShownText, field->text());
}

std::string FieldBytes(const QLineEdit* field) {
  const QVariant shown = field->property(kShownText);
  if (shown.isValid() && shown.toString() == field->text()) {
    return field->property(kShownBytes).toByteArray().toStdString();
  }
  return field->text().toUtf8().toStdString();
}

}  // namespace velmorix::ui

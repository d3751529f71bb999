#include "MessageBoxAlerts.h"

#include <QMessageBox>

void MessageBoxAlerts::show(AlertStyle style, const std::string& message, const std::string& informative) {
  auto icon = style == AlertStyle::critical  ? QMessageBox::Critical
              : style == AlertStyle::warning ? QMessageBox::Warning
                                             : QMessageBox::Information;
  QMessageBox box(icon, "Vexmoor 3D Viewer", QString::fromStdString(message), QMessageBox::Ok);
  box.setInformativeText(QString::fromStdString(informative));
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
}

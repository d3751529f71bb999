#include "MessageBoxAlerts.h"

#include <QMessageBox>

void MessageBoxAlerts::show(AlertStyle style, const std::string& message,
                            const std::string& informative) {
  QMessageBox box(style == AlertStyle::critical ? QMessageBox::Critical : QMessageBox::Warning,
                  "Vexmoor 3D Viewer", QString::fromStdString(message), QMessageBox::Ok);
  box.setInformativeText(QString::fromStdString(informative));
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
}

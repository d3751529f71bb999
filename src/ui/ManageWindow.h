#pragma once

#include <QDialog>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Associations.h"
#include "Desktop.h"

class QCheckBox;
class QPushButton;
class QMenuBar;

// The modal window in which the user chooses which 3D file types the application opens:
// one checkbox per declared extension. Setup mode pre-checks what no other application
// opens; manage mode shows what the application opens now.
class ManageWindow : public QDialog {
 public:
  struct Services {
    Associations::Services& associations;
    Alerts& alerts;
    std::function<void(const std::string& url)> openUrl;  // the user's default browser
    std::string viewerSite;                               // https://host
  };

  ManageWindow(bool setupMode, Services services);

  // Refreshes the catalog, builds the window and runs it until it is closed.
  void runModal();
  void build();
  // A menu bar above the window's content; call before build().
  void installMenu(QMenuBar* menu);

  void checkAll();
  void uncheckAll();
  void cancel();
  void apply();
  void openDownloadPage();

  const std::vector<std::pair<std::string, QCheckBox*>>& checkboxes() const { return checkboxes_; }
  QPushButton* confirmButton() const { return confirm_; }

 protected:
  void reject() override;

 private:
  std::string ownerNote(const std::string& extension);
  int buildRows(QWidget* document, const std::vector<Associations::DeclaredType>& types, int rowWidth);

  const bool setupMode_;
  Services services_;
  QMenuBar* menu_ = nullptr;
  QPushButton* confirm_ = nullptr;
  std::vector<std::pair<std::string, QCheckBox*>> checkboxes_;
  std::set<std::string> ownedAtOpen_;
};

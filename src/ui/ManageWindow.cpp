#include "ManageWindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QUrl>
#include <algorithm>

#include "Catalog.h"
#include "DesktopTexts.h"
#include "UpdateCheck.h"

namespace {

// The reference layout, in pixels; text taller than it makes the window taller.
constexpr int windowWidth = 520;
constexpr int rowHeight = 26;
constexpr int maxListHeight = 340;
constexpr int bannerHeight = 46;

QLabel* label(QWidget* parent, const QString& text, int pointSize, bool secondary) {
  auto* item = new QLabel(text, parent);
  item->setTextFormat(Qt::PlainText);  // format names come from a downloaded catalog
  item->setWordWrap(true);
  QFont font = item->font();
  font.setPointSize(pointSize);
  item->setFont(font);
  if (secondary) {
    QPalette palette = item->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    item->setPalette(palette);
  }
  return item;
}

// The height a word-wrapped label needs at its width, never less than the reference.
int fittedHeight(QLabel* item, int labelWidth, int reference) {
  return std::max(reference, item->heightForWidth(labelWidth));
}

QPushButton* button(QWidget* parent, const QString& title, QRect geometry) {
  auto* item = new QPushButton(title, parent);
  item->setAutoDefault(false);
  item->setGeometry(geometry.adjusted(0, 0, std::max(0, item->sizeHint().width() - geometry.width()), 0));
  return item;
}

std::string withoutAppSuffix(std::string name) {
  for (auto at = name.find(".app"); at != std::string::npos; at = name.find(".app", at)) name.erase(at, 4);
  return name;
}

}  // namespace

ManageWindow::ManageWindow(bool setupMode, Services services) : setupMode_(setupMode), services_(std::move(services)) {
  setWindowTitle("Vexmoor 3D Viewer");
  setModal(true);
}

void ManageWindow::installMenu(QMenuBar* menu) {
  menu->setParent(this);
  menu_ = menu;
}

void ManageWindow::runModal() {
  FormatCatalog::load(services_.associations.defaults);
  build();
  raise();
  activateWindow();
  exec();
  hide();
}

std::string ManageWindow::ownerNote(const std::string& extension) {
  auto handler = Associations::currentHandler(services_.associations, extension);
  if (!handler || Associations::isOwnId(services_.associations, *handler)) return {};
  std::string name =
      handler->empty() ? "another application"
                       : withoutAppSuffix(services_.associations.registry.applicationName(*handler).value_or(*handler));
  return "   (currently opens in " + name + ")";
}

int ManageWindow::buildRows(QWidget* document, const std::vector<Associations::DeclaredType>& types, int rowWidth) {
  ownedAtOpen_ = Associations::registeredExtensions(services_.associations);
  int widest = 0;
  for (const auto& type : types) {
    for (const auto& extension : type.extensions) {
      std::string note = ownerNote(extension);
      auto* box = new QCheckBox(QString::fromStdString(type.name + "  (." + extension + ")" + note), document);
      int row = static_cast<int>(checkboxes_.size());
      box->setGeometry(8, rowHeight * row, std::max(rowWidth, box->sizeHint().width()), 22);
      box->setChecked(setupMode_ ? note.empty() : ownedAtOpen_.count(extension) > 0);
      widest = std::max(widest, box->width());
      checkboxes_.emplace_back(extension, box);
    }
  }
  return widest;
}

void ManageWindow::build() {
  auto types = Associations::declaredTypes(services_.associations);
  std::string pending = services_.associations.defaults.string(UpdateCheck::pendingKey).value_or("");
  const int typeCount = static_cast<int>(types.size());
  const int listHeight = std::min(rowHeight * typeCount, maxListHeight);
  const int banner = pending.empty() ? 0 : bannerHeight;
  const int top = menu_ ? menu_->sizeHint().height() : 0;
  if (menu_) menu_->setGeometry(0, 0, windowWidth, top);

  auto* heading =
      label(this, setupMode_ ? "Choose which 3D files open in the Vexmoor viewer" : "3D file associations", 14, false);
  QFont bold = heading->font();
  bold.setWeight(QFont::DemiBold);
  heading->setFont(bold);
  const int headingExtra = fittedHeight(heading, 480, 20) - 20;
  heading->setGeometry(20, top + 14, 480, 20 + headingExtra);
  QString domain = QUrl(QString::fromStdString(services_.viewerSite)).host();
  auto* explanation = label(this,
                            "Checked types open in your browser at " + domain +
                                ". Types another application already owns are left alone; " +
                                QString::fromUtf8(DesktopTexts::reachViewerAnyway),
                            11, true);
  const int explanationHeight = fittedHeight(explanation, 480, 34);
  const int extra = headingExtra + explanationHeight - 34;
  explanation->setGeometry(20, top + 52 + headingExtra, 480, explanationHeight);

  auto* list = new QScrollArea(this);
  list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list->setGeometry(20, top + 102 + extra, 480, listHeight);
  auto* document = new QWidget;
  int rowCount = 0;
  for (const auto& type : types) rowCount += static_cast<int>(type.extensions.size());
  // Rows as wide as the list shows, unless a long one needs more (then the list scrolls).
  list->ensurePolished();
  const int shown =
      480 - 2 * list->frameWidth() - list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list) - 2;
  int widest = buildRows(document, types, shown - 16);
  document->resize(std::max(shown, widest + 16), rowHeight * std::max(typeCount, rowCount));
  list->setWidget(document);
  const int listBottom = top + 102 + extra + listHeight;

  if (!pending.empty()) {
    auto* text = label(
        this, QString::fromStdString("The viewer now also opens: " + pending + ". Update this app to associate them."),
        11, true);
    text->setGeometry(20, listBottom, 370, 32);
    auto* update = button(this, "Get Update", {396, listBottom + 2, 104, 24});
    connect(update, &QPushButton::clicked, this, [this] { openDownloadPage(); });
  }
  const int windowHeight = listBottom + 58 + banner;
  auto* all = button(this, "Select All", {20, windowHeight - 44, 92, 26});
  auto* none = button(this, "None", {118, windowHeight - 44, 64, 26});
  auto* cancelButton = button(this, "Cancel", {320, windowHeight - 44, 84, 26});
  confirm_ = button(this, setupMode_ ? "Continue" : "Apply", {412, windowHeight - 44, 88, 26});
  confirm_->setDefault(true);
  connect(all, &QPushButton::clicked, this, [this] { checkAll(); });
  connect(none, &QPushButton::clicked, this, [this] { uncheckAll(); });
  connect(cancelButton, &QPushButton::clicked, this, [this] { cancel(); });
  connect(confirm_, &QPushButton::clicked, this, [this] { apply(); });
  setFixedSize(windowWidth, windowHeight);
}

void ManageWindow::checkAll() {
  for (auto& [extension, box] : checkboxes_) box->setChecked(true);
}

void ManageWindow::uncheckAll() {
  for (auto& [extension, box] : checkboxes_) box->setChecked(false);
}

void ManageWindow::cancel() { QDialog::reject(); }

// Escape and the close button change nothing.
void ManageWindow::reject() { cancel(); }

void ManageWindow::openDownloadPage() { services_.openUrl(services_.viewerSite + "/tools/3d-viewer/linux"); }

// Gives back only what was ours and the user unchecked: a row unchecked because another
// application opens the type must not take it from that application. Releases go first, so
// that of two extensions of one content type, the checked one keeps it.
void ManageWindow::apply() {
  for (const auto& [extension, box] : checkboxes_) {
    if (!box->isChecked() && ownedAtOpen_.count(extension)) Associations::release(services_.associations, extension);
  }
  std::vector<std::string> succeeded;
  std::string failed;
  bool settingsNotWritten = false;
  for (const auto& [extension, box] : checkboxes_) {
    if (!box->isChecked()) continue;
    auto result = Associations::claim(services_.associations, extension);
    if (result) {
      succeeded.push_back(extension);
    } else {
      failed += (failed.empty() ? "." : ", .") + extension;
      settingsNotWritten = settingsNotWritten || result.settingsNotWritten;
    }
  }
  Config::setList(services_.associations.defaults, Config::associatedExtensionsKey, succeeded);
  accept();
  if (failed.empty()) return;
  auto opening = settingsNotWritten ? DesktopTexts::settingsNotSaved : DesktopTexts::keptCurrentApplication;
  services_.alerts.show(AlertStyle::informational, "Some file types could not be changed",
                        std::string(opening) + failed + std::string(DesktopTexts::openAnyway));
}

#include "app/ipod_photo_frm.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainterPath>
#include <QRegion>
#include <QScrollBar>
#include <QThread>
#include <QWindow>
#include <algorithm>

#include "app/help_folder.h"
#include "support/heic_jpeg.h"
#include "ui/skin.h"

namespace quill {
namespace {

const QString kReconnect =
    QStringLiteral("1. Disconnect your iPod from computer first\r\r2. Then, re-connect iPod to the computer");

// Label texts keep "\r" as the line break of the stored texts.
QString Shown(const QString& text) {
  QString lines = text;
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return lines;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, const QColor& color) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->adjustSize();
  return label;
}

void SetTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

QWidget* FlatPanel(QWidget* parent, const QString& name, const QString& style, int width, int height) {
  auto* panel = new QWidget(parent);
  panel->setObjectName(name);
  panel->setAttribute(Qt::WA_StyledBackground, true);
  panel->setStyleSheet(QStringLiteral("#%1 { %2 }").arg(name, style));
  panel->resize(width, height);
  panel->hide();
  return panel;
}

// A hand cursor that opens something: the link labels of the title bar.
class THoverFilter : public QObject {
public:
  explicit THoverFilter(QObject* parent) : QObject(parent) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* label = qobject_cast<QLabel*>(watched);
    if (label == nullptr || !label->isEnabled()) return false;
    if (event->type() == QEvent::Enter) SetTextColor(label, QColor(0xFF, 0xFF, 0xFF));
    if (event->type() == QEvent::Leave) SetTextColor(label, QColor(0x3B, 0x3B, 0x3B));
    return false;
  }
};

}  // namespace

const QString TIpodPhotoFrm::kVersionText = QStringLiteral("Quillmere Photo " QUILL_VERSION);

TIpodPhotoFrm::TIpodPhotoFrm(TPlatform& platform, TMessageBoxes& boxes, TShell& shell, TFrmOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      platform_(platform),
      boxes_(boxes),
      shell_(shell),
      options_(std::move(options)) {
  setWindowTitle(QStringLiteral("Quillmere Photo"));
  setFont(WindowFont());
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
  setPalette(palette);
  resize(800, 557);

  settings_ = OpenSettings(options_.SettingsFile);
  links_ = ReadLinks(*settings_, HelpFolder(options_.ProgramFolder));

  BuildTitleBar();
  BuildStatusBar();
  BuildBrowser();
  BuildErrPnl();
  BuildCopyPnl();
  BuildGoPnl();
  LayoutWindow();

  focus_connection_ = QObject::connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (GoPnl->isVisible() && now != nullptr && now->window() == this && now != GoPnl && !GoPnl->isAncestorOf(now)) {
      GoPnlExit();
    }
  });

  FormCreate();
}

TIpodPhotoFrm::~TIpodPhotoFrm() {
  // The children outlive this part of the object: nothing may call back
  // into it while they go.
  QObject::disconnect(focus_connection_);
  for (QObject* watched : {static_cast<QObject*>(CapShLb), static_cast<QObject*>(WebLb),
                           static_cast<QObject*>(HlpLb), static_cast<QObject*>(IphoneErrLb),
                           static_cast<QObject*>(DetailLb), static_cast<QObject*>(PhotoPnl),
                           static_cast<QObject*>(PhotoList->viewport()), static_cast<QObject*>(cell_area_->Content())}) {
    watched->removeEventFilter(this);
  }
  // A window torn down without its close (tests, a failed start) must still
  // not free the library under a running transfer.
  if (copy_thread_) {
    copy_thread_->Terminate();
    WaitForCopyThread();
  }
  watcher_.reset();
  EndIosHandOvers();
  db_.reset();
  device_.reset();
}

void TIpodPhotoFrm::EndIosHandOvers() {
  {
    std::lock_guard lock(handover_mutex_);
    handovers_ended_ = true;
  }
  handover_served_.notify_all();
}

void TIpodPhotoFrm::BuildTitleBar() {
  const TSkin& skin = Skin();
  TopPnl = new QWidget(this);
  SImg = new TImageBox(TopPnl, skin.TitleLeft);
  TiImg = new TImageBox(TopPnl, skin.TitleFill);
  RImg = new TImageBox(TopPnl, skin.TitleRight);
  SImg->OnMouseDown = [this](QMouseEvent* e) { StartWindowDrag(e); };
  TiImg->OnMouseDown = [this](QMouseEvent* e) { StartWindowDrag(e); };

  // The shadow copy, one pixel higher, lies under the title; presses on the
  // title reach it and drag the window.
  const QFont title = BoldFont(13);
  CapShLb = MakeLabel(TopPnl, QStringLiteral("Quillmere Photo"), 24, 5, QColor(0x35, 0x35, 0x42));
  CapShLb->setFont(title);
  CapShLb->installEventFilter(this);
  Caplb = MakeLabel(TopPnl, QStringLiteral("Quillmere Photo"), 24, 6, QColor(0xF2, 0xF2, 0xF2));
  Caplb->setFont(title);
  Caplb->setAttribute(Qt::WA_TransparentForMouseEvents);

  auto* hover = new THoverFilter(this);
  WebLb = MakeLabel(TopPnl, QStringLiteral("About"), 688, 7, QColor(0x3B, 0x3B, 0x3B));
  HlpLb = MakeLabel(TopPnl, QStringLiteral("Help (?)"), 731, 7, QColor(0x3B, 0x3B, 0x3B));
  for (QLabel* link : {WebLb, HlpLb}) {
    link->setCursor(Qt::PointingHandCursor);
    link->installEventFilter(hover);
    link->installEventFilter(this);
  }

  CloseBtn = new TPicButton(TopPnl);
  CloseBtn->SetBitmap(skin.CloseButton);
  CloseBtn->move(779, 7);
  CloseBtn->setToolTip(QStringLiteral("Close"));
  CloseBtn->OnClick = [this] { close(); };

  CheckBtn = new TPicButton(TopPnl);
  CheckBtn->SetBitmap(skin.CheckButton);
  CheckBtn->SetDownBitmap(skin.CheckButtonDown);
  CheckBtn->move(247, 25);
  CheckBtn->setToolTip(QStringLiteral("Select photos"));
  CheckBtn->OnClick = [this] { CheckBtnClick(); };

  ExportBtn = new TPicButton(TopPnl);
  ExportBtn->SetBitmap(skin.ExportButton);
  ExportBtn->SetDownBitmap(skin.ExportButtonDown);
  ExportBtn->move(288, 25);
  ExportBtn->setToolTip(QStringLiteral("Transfer selected photos to the computer"));
  ExportBtn->OnClick = [this] { ExportBtnClick(); };
}

void TIpodPhotoFrm::BuildStatusBar() {
  const TSkin& skin = Skin();
  LowPnl = new QWidget(this);
  LImg = new TImageBox(LowPnl, skin.StatusLeft);
  BtImg = new TImageBox(LowPnl, skin.StatusFill);
  ResizeImg = new TImageBox(LowPnl, skin.StatusRight);
  ResizeImg->setCursor(Qt::SizeFDiagCursor);
  ResizeImg->installEventFilter(this);
  StatusLb = new QLabel(LowPnl);
  StatusLb->setAlignment(Qt::AlignCenter);
  // The text lies over the whole bar: the corner under it must still get
  // the pointer, its cursor and its presses.
  StatusLb->setAttribute(Qt::WA_TransparentForMouseEvents);
  SetTextColor(StatusLb, QColor(0x31, 0x31, 0x31));
}

void TIpodPhotoFrm::BuildBrowser() {
  const TSkin& skin = Skin();
  Lshp = new TShapeBox(this, QColor(0x47, 0x47, 0x47), std::nullopt);
  Rshp = new TShapeBox(this, QColor(0x47, 0x47, 0x47), std::nullopt);

  spl = new QSplitter(Qt::Horizontal, this);
  spl->setHandleWidth(1);
  spl->setOpaqueResize(true);
  spl->setChildrenCollapsible(false);
  spl->setStyleSheet(QStringLiteral("QSplitter::handle { background: #3F3F3F; }"));

  AlbumLstList = new QTreeWidget(spl);
  AlbumLstList->setHeaderHidden(true);
  AlbumLstList->setColumnCount(1);
  AlbumLstList->setRootIsDecorated(false);
  AlbumLstList->setItemsExpandable(false);
  AlbumLstList->setExpandsOnDoubleClick(false);
  AlbumLstList->setIndentation(21);
  AlbumLstList->setIconSize(QSize(18, 18));
  AlbumLstList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  AlbumLstList->setSelectionBehavior(QAbstractItemView::SelectRows);
  AlbumLstList->setFrameShape(QFrame::NoFrame);
  AlbumLstList->setMinimumWidth(150);
  AlbumLstList->setStyleSheet(
      QStringLiteral("QTreeWidget { background: #D1D7E2; color: black; padding: 4px; border: none; }"
                     "QTreeWidget::item { height: 22px; }"
                     "QTreeWidget::item:selected, QTreeWidget::item:selected:!active"
                     " { background: #3F77BC; color: white; }"));
  QObject::connect(AlbumLstList, &QTreeWidget::currentItemChanged, this,
                   [this](QTreeWidgetItem* node, QTreeWidgetItem*) {
                     if (node != nullptr) node->setExpanded(true);
                     AlbumLstListChange(node);
                   });
  // No node is ever collapsed: "All Pictures" stays open once selected.
  QObject::connect(AlbumLstList, &QTreeWidget::itemCollapsed, this,
                   [](QTreeWidgetItem* node) { node->setExpanded(true); });

  PhotoPnl = new QWidget(spl);
  PhotoPnl->setMinimumWidth(150);
  PhotoPnl->setAutoFillBackground(true);
  QPalette white = PhotoPnl->palette();
  white.setColor(QPalette::Window, Qt::white);
  PhotoPnl->setPalette(white);
  spl->addWidget(AlbumLstList);
  spl->addWidget(PhotoPnl);
  spl->setStretchFactor(0, 0);
  spl->setStretchFactor(1, 1);
  spl->setSizes({167, 630});

  PhotoPnl->installEventFilter(this);
  PagePnl = new TImageBox(PhotoPnl, skin.PageBar);
  const QColor barText(0x31, 0x31, 0x31);
  Readlb = MakeLabel(PagePnl, QStringLiteral("0"), 8, 5, QColor(0x80, 0x80, 0x80));
  QFont bold = WindowFont();
  bold.setBold(true);
  Readlb->setFont(bold);
  Readlb->resize(80, 14);
  Readlb->hide();
  PageLb = MakeLabel(PagePnl, QStringLiteral("Page:"), 447, 5, barText);
  PrvBtn = new QToolButton(PagePnl);
  PrvBtn->setIcon(QIcon(QPixmap::fromImage(skin.PrevArrow)));
  PrvBtn->setGeometry(481, 3, 22, 18);
  PrvBtn->setAutoRaise(true);
  PrvBtn->setToolTip(QStringLiteral("Previous page"));
  PrvBtn->hide();
  SelectPage = MakeLabel(PagePnl, QStringLiteral("1"), 489, 5, barText);
  SelectPage->setFont(bold);
  SelectPage->setAlignment(Qt::AlignRight | Qt::AlignTop);
  SelectPage->resize(32, 14);
  Pgseplb = MakeLabel(PagePnl, QStringLiteral("/"), 530, 5, barText);
  MaxPage = MakeLabel(PagePnl, QStringLiteral("1"), 540, 5, barText);
  MaxPage->resize(18, 14);
  // The page number grows to the left over "Previous page" and the page
  // count to the right over "Next page": the buttons keep every click.
  for (QLabel* label : {PageLb, SelectPage, Pgseplb, MaxPage}) {
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  NxtBtn = new QToolButton(PagePnl);
  NxtBtn->setIcon(QIcon(QPixmap::fromImage(skin.NextArrow)));
  NxtBtn->setGeometry(559, 3, 22, 18);
  NxtBtn->setAutoRaise(true);
  NxtBtn->setToolTip(QStringLiteral("Next page"));
  NxtBtn->hide();
  QObject::connect(PrvBtn, &QToolButton::clicked, this, [this] { PrvBtnClick(); });
  QObject::connect(NxtBtn, &QToolButton::clicked, this, [this] { NxtBtnClick(); });

  PhotoList = new QScrollArea(PhotoPnl);
  PhotoList->setFrameShape(QFrame::NoFrame);
  // The cells stay on white while browsing is disabled.
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    white.setColor(group, QPalette::Window, Qt::white);
    white.setColor(group, QPalette::Base, Qt::white);
  }
  PhotoList->setBackgroundRole(QPalette::Base);
  PhotoList->setPalette(white);
  PhotoList->setAutoFillBackground(true);
  PhotoList->verticalScrollBar()->setStyleSheet(QStringLiteral("QScrollBar { background: #E4E4E4; }"));
  PhotoList->horizontalScrollBar()->setStyleSheet(QStringLiteral("QScrollBar { background: #C0C0C0; }"));
  PhotoList->setContextMenuPolicy(Qt::CustomContextMenu);
  PhotoList->viewport()->installEventFilter(this);
  cell_area_ = std::make_unique<TQtCellArea>(*PhotoList);
  cell_area_->Content()->installEventFilter(this);
  PhotoPnl->resize(630, 471);
  LayoutPhotoPnl();
  cell_area_->OnCellClick = [this](int cell, bool camera) {
    if (!db_) return;
    if (camera) {
      db_->CameraCellClick(cell);
    } else {
      db_->PhotoCellClick(cell);
    }
  };

  SongPop = new QMenu(this);
  AllMnu = SongPop->addAction(QStringLiteral("Check"));
  UnAllMnu = SongPop->addAction(QStringLiteral("Uncheck"));
  InvertMnu = SongPop->addAction(QStringLiteral("Invert"));
  QObject::connect(SongPop, &QMenu::aboutToShow, this, [this] { SongPopPopup(); });
  QObject::connect(AllMnu, &QAction::triggered, this, [this] { AllMnuClick(); });
  QObject::connect(UnAllMnu, &QAction::triggered, this, [this] { UnAllMnuClick(); });
  QObject::connect(InvertMnu, &QAction::triggered, this, [this] { InvertMnuClick(); });
  QObject::connect(PhotoList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (PhotoList->isEnabled()) SongPop->popup(PhotoList->mapToGlobal(at));
  });
}

void TIpodPhotoFrm::BuildErrPnl() {
  ErrPnl = FlatPanel(this, QStringLiteral("ErrPnl"), QStringLiteral("background: #FAFAFA; border: 1px solid #8E99A8;"),
                     492, 328);
  ErrLb = MakeLabel(ErrPnl, QStringLiteral("No device found"), 14, 17, QColor(0x2B, 0x3E, 0x55));
  ErrLb->setFont(BoldFont(19));
  ErrLb->resize(400, 26);
  HelpBtn = new QToolButton(ErrPnl);
  HelpBtn->setText(QStringLiteral("Help"));
  HelpBtn->setGeometry(439, 18, 40, 22);
  QObject::connect(HelpBtn, &QToolButton::clicked, this, [this] { HlpLbClick(); });
  Tshp = new TShapeBox(ErrPnl, QColor(0x42, 0x67, 0xA4), QColor(0x3A, 0x5A, 0x8F));
  Tshp->setGeometry(14, 57, 459, 4);
  Tip2Img = new TImageBox(ErrPnl, Skin().Device);
  Tip2Img->setGeometry(33, 100, 101, 108);
  Gdlb = MakeLabel(ErrPnl, QStringLiteral("Please connect iPod, iPhone or iPad to the computer"), 160, 100,
                   QColor(0x20, 0x20, 0x20));
  Gdlb->setWordWrap(true);
  Gdlb->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Gdlb->resize(318, 80);
  StopBtn = new QToolButton(ErrPnl);
  StopBtn->setText(QStringLiteral("Prevent iTunes to start automatically"));
  StopBtn->setToolTip(QStringLiteral("Prevent iTunes to start when connecting the iPod"));
  StopBtn->setGeometry(160, 190, 219, 30);
  QObject::connect(StopBtn, &QToolButton::clicked, this, [this] { StopBtnClick(); });
  const QString buttonStyle = QStringLiteral(
      "QToolButton { border: 1px solid #8E99A8; border-radius: 3px; color: #1F2B3A;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #FDFDFE, stop:1 #DCE2EA); }"
      "QToolButton:hover { border-color: #3F77BC; }"
      "QToolButton:pressed { background: #C9D2DE; }");
  HelpBtn->setStyleSheet(buttonStyle);
  StopBtn->setStyleSheet(buttonStyle);
  auto* bevel = new TShapeBox(ErrPnl, QColor(0xC8, 0xC8, 0xC8), std::nullopt);
  bevel->setGeometry(14, 264, 458, 1);
  auto* bevelLight = new TShapeBox(ErrPnl, QColor(0xFF, 0xFF, 0xFF), std::nullopt);
  bevelLight->setGeometry(14, 265, 458, 1);
  IphoneErrLb = MakeLabel(ErrPnl, QStringLiteral("(x) Cannot find the iTunes in this computer. Please click here for help."),
                          14, 287, QColor(0xEA, 0x00, 0x00));
  IphoneErrLb->setCursor(Qt::PointingHandCursor);
  IphoneErrLb->installEventFilter(this);
  IphoneErrLb->hide();
  // Docked to the bottom inside the panel's one-pixel border.
  Bshp = new TShapeBox(ErrPnl, QColor(0xD1, 0xD1, 0xD1), QColor(0xDD, 0xDD, 0xDD));
  Bshp->setGeometry(1, ErrPnl->height() - 1 - 4, ErrPnl->width() - 2, 4);
}

void TIpodPhotoFrm::BuildCopyPnl() {
  CopyPnl = FlatPanel(this, QStringLiteral("CopyPnl"),
                      QStringLiteral("background: #8F8F8F; border-top: 1px solid #6A6A6A; border-left: 1px solid #6A6A6A;"
                                     " border-bottom: 1px solid #B4B4B4; border-right: 1px solid #B4B4B4;"),
                      689, 81);
  const QColor white(0xFF, 0xFF, 0xFF);
  PgLb = MakeLabel(CopyPnl, QStringLiteral("-"), 14, 13, white);
  PgLb->resize(570, 16);
  DetailLb = MakeLabel(CopyPnl, QStringLiteral("View Detail Log"), 590, 8, white);
  QFont underlined = WindowFont();
  underlined.setUnderline(true);
  DetailLb->setFont(underlined);
  DetailLb->adjustSize();
  DetailLb->move(676 - DetailLb->width(), 8);
  DetailLb->setAlignment(Qt::AlignRight);
  DetailLb->setCursor(Qt::PointingHandCursor);
  DetailLb->installEventFilter(this);
  DetailLb->hide();

  WorkShp = new TProgressShape(CopyPnl);
  WorkShp->setGeometry(649, 7, 25, 25);
  WorkShp->SetBlockCount(3);
  WorkShp->SetPadding(4);
  WorkShp->SetInterval(500);
  WorkShp->Appearance().SetBlockColor(QColor(0xF7, 0xF7, 0xF7));
  WorkShp->setEnabled(false);
  WorkShp->Loaded();
  WorkShp->hide();

  CopyPrgs = new QProgressBar(CopyPnl);
  CopyPrgs->setGeometry(14, 57, 563, 12);
  CopyPrgs->setTextVisible(false);
  CopyPrgs->setStyleSheet(QStringLiteral("QProgressBar { background: #EBEBEB; border: 1px solid #6F6F6F; }"
                                         "QProgressBar::chunk { background: #3F77BC; }"));
  CopyPrgs->setRange(0, 0);

  CancelBtn = new TPicButton(CopyPnl);
  CancelBtn->SetBitmap(Skin().CancelPicture);
  CancelBtn->SetDownBitmap(Skin().CancelButtonDown);
  CancelBtn->move(595, 48);
  CancelBtn->SetCaptionPosition(TCaptionPos::cpLeft);
  CancelBtn->SetSpace(32);
  CancelBtn->SetHotFontColor(QColor(0x00, 0x00, 0x80));
  CancelBtn->SetCaption(QStringLiteral("Cancel"));
  CancelBtn->OnClick = [this] { CancelBtnClick(); };
}

void TIpodPhotoFrm::BuildGoPnl() {
  GoPnl = FlatPanel(this, QStringLiteral("GoPnl"), QStringLiteral("background: #FAFAFA; border: 1px solid #8E99A8;"),
                    452, 134);
  GoPnl->setFocusPolicy(Qt::StrongFocus);
  SetShp = new TShapeBox(GoPnl, QColor(0xDF, 0xE5, 0xEB), QColor(0xC0, 0xC7, 0xCF));
  SetShp->setGeometry(1, 1, 450, 76);

  const QString flat = QStringLiteral(
      "QToolButton { border: none; background: transparent; color: #1F3F73; text-decoration: underline; }"
      "QToolButton:hover { color: #3F77BC; }");
  DefaultBtn = new QToolButton(GoPnl);
  DefaultBtn->setText(QStringLiteral("Default"));
  DefaultBtn->setToolTip(QStringLiteral("Default settings"));
  DefaultBtn->setGeometry(302, 5, 56, 22);
  DefaultBtn->setStyleSheet(flat);
  QObject::connect(DefaultBtn, &QToolButton::clicked, this, [this] { DefaultBtnClick(); });

  AdBtn = new QToolButton(GoPnl);
  AdBtn->setText(QStringLiteral("More ..."));
  AdBtn->setIcon(QIcon(QPixmap::fromImage(Skin().MoreArrow)));
  AdBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  AdBtn->setLayoutDirection(Qt::RightToLeft);
  AdBtn->setGeometry(372, 5, 65, 22);
  AdBtn->setStyleSheet(flat + QStringLiteral("QToolButton { font-weight: bold; }"));
  AdPop = new QMenu(this);
  TransMusicMnu = AdPop->addAction(QStringLiteral("Copy music from your iPod ..."));
  TransMoreMnu = AdPop->addAction(QStringLiteral("More tools for your iPod ..."));
  // Photo programs on many computers cannot open HEIC files.
  HeicMnu = AdPop->addMenu(HeicConversionAvailable()
                               ? QStringLiteral("Save HEIC photos also as JPEG")
                               : QStringLiteral("Save HEIC photos also as JPEG (not available in this build)"));
  HeicMnu->setObjectName(QStringLiteral("HeicMnu"));
  HeicMnu->setEnabled(HeicConversionAvailable());
  auto* heicGroup = new QActionGroup(HeicMnu);
  HeicNoMnu = HeicMnu->addAction(QStringLiteral("No, HEIC files only"));
  HeicAlsoMnu = HeicMnu->addAction(QStringLiteral("Yes, beside the HEIC file"));
  HeicInsteadMnu = HeicMnu->addAction(QStringLiteral("Yes, instead of the HEIC file"));
  for (QAction* action : {HeicNoMnu, HeicAlsoMnu, HeicInsteadMnu}) {
    action->setCheckable(true);
    heicGroup->addAction(action);
    QObject::connect(action, &QAction::triggered, this, [this] { SaveSettings(); });
  }
  HeicNoMnu->setChecked(true);
  QObject::connect(AdBtn, &QToolButton::clicked, this,
                   [this] { AdPop->popup(AdBtn->mapToGlobal(QPoint(0, AdBtn->height()))); });
  QObject::connect(TransMusicMnu, &QAction::triggered, this, [this] { OpenLink(links_.Music); });
  QObject::connect(TransMoreMnu, &QAction::triggered, this, [this] { OpenLink(links_.More); });

  DestLb = MakeLabel(GoPnl, QStringLiteral("Save photos or pictures to folder:"), 16, 29, QColor(0x1F, 0x2B, 0x3A));
  DestEdt = new QLineEdit(GoPnl);
  DestEdt->setGeometry(16, 45, 392, 19);
  DestEdt->setFrame(false);
  DestEdt->setStyleSheet(QStringLiteral("QLineEdit { background: white; border: 1px solid #9AA5B4; padding: 0 2px; }"));
  DestLb->setBuddy(DestEdt);
  BrowseBtn = new QToolButton(GoPnl);
  BrowseBtn->setIcon(QIcon(QPixmap::fromImage(Skin().Folder)));
  BrowseBtn->setGeometry(414, 43, 23, 22);
  BrowseBtn->setAutoRaise(true);
  BrowseBtn->setToolTip(QStringLiteral("Select folder to save photos"));
  QObject::connect(BrowseBtn, &QToolButton::clicked, this, [this] { BrowseBtnClick(); });

  ToPcBtn = new QToolButton(GoPnl);
  ToPcBtn->setText(QStringLiteral("Start Transfer"));
  ToPcBtn->setIcon(QIcon(QPixmap::fromImage(Skin().ToPc)));
  ToPcBtn->setIconSize(QSize(22, 22));
  ToPcBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  ToPcBtn->setToolTip(QStringLiteral("Transfer selected files to the folder in your computer"));
  ToPcBtn->setGeometry(298, 88, 142, 30);
  ToPcBtn->setStyleSheet(QStringLiteral(
      "QToolButton { color: white; font-weight: bold; border: 1px solid #2C5A93; border-radius: 4px;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5A93D6, stop:1 #2F65A8); }"
      "QToolButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6AA3E6, stop:1 #3A72B8); }"
      "QToolButton:pressed { background: #2B5C99; }"));
  QObject::connect(ToPcBtn, &QToolButton::clicked, this, [this] { ToPcBtnClick(); });
}

void TIpodPhotoFrm::LayoutWindow() {
  const int w = width(), h = height();
  TopPnl->setGeometry(0, 0, w, 57);
  SImg->setGeometry(0, 0, 22, 57);
  TiImg->setGeometry(22, 0, w - 27, 57);
  RImg->setGeometry(w - 5, 0, 5, 57);
  const int right = w - 800;  // items anchored to the right edge
  WebLb->move(688 + right, 7);
  HlpLb->move(731 + right, 7);
  CloseBtn->move(779 + right, 7);

  LowPnl->setGeometry(0, h - 29, w, 29);
  LImg->setGeometry(0, 0, 4, 29);
  BtImg->setGeometry(4, 0, w - 8, 29);
  ResizeImg->setGeometry(w - 4, 0, 4, 29);
  StatusLb->setGeometry(0, 0, w, 29);

  const int middle = h - 57 - 29;
  Lshp->setGeometry(0, 57, 1, middle);
  Rshp->setGeometry(w - 1, 57, 1, middle);
  spl->setGeometry(1, 57, w - 2, middle);
}

void TIpodPhotoFrm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutWindow();
  // The corner resizes the window: the cut corners follow its size.
  if (!mask().isEmpty()) ClipWindowCorners();
}

void TIpodPhotoFrm::LayoutPhotoPnl() {
  const int pw = PhotoPnl->width();
  PagePnl->setGeometry(0, 0, pw, 24);
  PhotoList->setGeometry(0, 24, pw, std::max(0, PhotoPnl->height() - 24));
  const int right = pw - 630;  // the page bar's items are anchored to its right edge
  PageLb->move(447 + right, 5);
  PrvBtn->move(481 + right, 3);
  SelectPage->move(489 + right, 5);
  Pgseplb->move(530 + right, 5);
  MaxPage->move(540 + right, 5);
  NxtBtn->move(559 + right, 3);
}

void TIpodPhotoFrm::ClipWindowCorners() {
  // The visible region: the rectangle with each corner cut by a quarter of a
  // 9 x 9 ellipse, for the size the window has now (again after a resize).
  const int w = width() + 1, h = height() + 1;
  QPainterPath path;
  path.addRoundedRect(QRectF(0, 0, w, h), 4.5, 4.5);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void TIpodPhotoFrm::FormCreate() {
  Closing = false;
  TransferLog.clear();
  ClipWindowCorners();
  setMinimumSize(800, 520);
  ShowOverlay(ErrPnl, true);
  Caplb->setText(Caplb->text() + QStringLiteral(" " QUILL_VERSION));
  Caplb->adjustSize();
  CapShLb->setText(Caplb->text());
  CapShLb->adjustSize();

  device_ = std::make_unique<TIpodDevice>(platform_, [this](bool connected, bool fromIos) {
    std::unique_lock lock(handover_mutex_);
    if (handovers_ended_) return;
    if (QThread::currentThread() == thread()) {
      lock.unlock();
      DeviceChange(connected, fromIos);
      return;
    }
    // iOS reports come on the mobile device library's thread.
    const std::uint64_t ticket = ++handovers_posted_;
    QMetaObject::invokeMethod(
        this,
        [this, connected, fromIos, ticket] {
          // A disk-mode iPod can be taken while the loss of an iPhone waits
          // here: that loss is over, and must not hide the iPod's library.
          const bool overtaken = !connected && device_ && device_->Connected && !device_->IsIos;
          if (!overtaken) DeviceChange(connected, fromIos);
          std::lock_guard done(handover_mutex_);
          handovers_done_ = std::max(handovers_done_, ticket);
          handover_served_.notify_all();
        },
        Qt::QueuedConnection);
    handover_served_.wait(lock, [&] { return handovers_ended_ || handovers_done_ >= ticket; });
  });
  monitor_ = std::make_unique<TMountMonitor>(platform_.ReadMounts(), [this](const TDeviceChangeMessage& message) {
    if (!device_) return;
    // The device object forgets the drive as it reports the loss, while a
    // transfer thread may still be building paths under it: the thread is
    // stopped and has ended before the device object hears of the removal.
    if (message.Kind == TDeviceChangeMessage::TKind::RemoveComplete && copy_thread_ && IsDeviceVolume(message.Volume)) {
      copy_thread_->Terminate();
      WaitForCopyThread();
    }
    device_->WndProc(message);
    // A close asked for during the wait runs now that the device knows the
    // iPod is gone (and asks nothing about ejecting it).
    RunDeferredWork();
  });
  LoadSettings();
  if (device_->IosUnavailable) IphoneErrLb->show();

  if (!options_.DeviceFolder.isEmpty()) {
    std::string error;
    if (!device_->UseFolder(QDir::toNativeSeparators(options_.DeviceFolder).toStdString(), error)) {
      boxes_.Warning(QString::fromStdString(error));
    }
  } else {
    device_->ScanDrives();
  }
  if (!ErrPnl->isHidden() && device_->IsItunesRunning()) Gdlb->setText(Shown(kReconnect));
  if (options_.WatchMounts) watcher_ = std::make_unique<TMountWatcher>([this] { MountTableChanged(); });
}

bool TIpodPhotoFrm::IsDeviceVolume(const TMountEntry& volume) const {
  auto bare = [](std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path;
  };
  return device_ && !device_->Drive.empty() && bare(volume.MountPoint) == bare(device_->Drive);
}

void TIpodPhotoFrm::MountTableChanged() {
  if (monitor_ && !Closing) monitor_->Feed(platform_.ReadMounts());
}

void TIpodPhotoFrm::DeviceChange(bool connected, bool fromIos) {
  (void)fromIos;
  if (Closing) return;
  // While a wait for the transfer thread serves events, the library it
  // reads must stay: the change runs once the wait is over.
  if (building_page_ > 0 || changing_device_ || copy_wait_loop_ != nullptr) {
    deferred_changes_.push_back(connected);
    return;
  }
  changing_device_ = true;
  if (connected) {
    ErrLb->setText(QStringLiteral("Connected, reading ..."));
    Gdlb->setText(QStringLiteral("Please wait ..."));
    QApplication::processEvents();
    // A transfer that was cancelled may still be finishing its file: the
    // old library must outlive it.
    WaitForCopyThread();
    // A connection that replaces another without a loss between them starts
    // from an empty tree and page bar too, so that node 0 opens its page.
    AlbumLstList->clear();
    db_.reset();
    ResetPageBar();
    db_ = std::make_unique<TIpodPhotoDb>(*device_, cell_area_.get(), true);
    db_->OnPageProgress = [this](std::int32_t count) { PageProgress(count); };
    db_->OnSelectionChange = [this](std::int32_t, bool) { SelectionChanged(); };
    db_->LoadPhotoLibrary();
    FillAlbumTree();
    if (AlbumLstList->topLevelItemCount() > 0) {
      AlbumLstList->setCurrentItem(AlbumLstList->topLevelItem(0));
    } else {
      UpdateStatus();
    }
    ShowOverlay(ErrPnl, false);
  } else {
    ErrLb->setText(QStringLiteral("No device found"));
    Gdlb->setText(Shown(kReconnect));
    StatusLb->setText(QStringLiteral("Lost connection with iPod, operation abort."));
    AlbumLstList->clear();
    if (Transferring) StopTransfer(true);
    ShowOverlay(ErrPnl, true);
  }
  changing_device_ = false;
  RunDeferredWork();
}

void TIpodPhotoFrm::RunDeferredWork() {
  if (building_page_ > 0 || changing_device_ || copy_wait_loop_ != nullptr) return;
  while (!deferred_changes_.empty() && !Closing) {
    const bool connected = deferred_changes_.front();
    deferred_changes_.pop_front();
    DeviceChange(connected, false);
  }
  if (close_pending_ && !closed_) {
    close_pending_ = false;
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
  }
}

void TIpodPhotoFrm::ShowOverlay(QWidget* panel, bool show) {
  if (show) {
    panel->move((width() - panel->width()) / 2, (height() - panel->height()) / 2);
    EnableBrowsing(false);
    panel->setVisible(true);
    panel->raise();
  } else {
    // Hidden first: browsing comes back only when no other overlay is up.
    panel->setVisible(false);
    EnableBrowsing(true);
  }
}

void TIpodPhotoFrm::EnableBrowsing(bool enabled) {
  // Nothing is browsed under an overlay: not under "No device found" (the
  // progress panel's "Done" after a loss sticks out of it and must not bring
  // back the old library), nor under the progress panel until its "Done".
  if (!ErrPnl->isHidden() || !CopyPnl->isHidden()) enabled = false;
  for (QWidget* control : {static_cast<QWidget*>(AlbumLstList), static_cast<QWidget*>(PhotoList),
                           static_cast<QWidget*>(CheckBtn), static_cast<QWidget*>(ExportBtn),
                           static_cast<QWidget*>(NxtBtn), static_cast<QWidget*>(PrvBtn)}) {
    control->setEnabled(enabled);
  }
  if (!GoPnl->isHidden()) GoPnl->hide();
}

QString TIpodPhotoFrm::DefaultDestination() {
  std::string path;
  if (db_) {
    db_->GetDefaultOutputFolder(path);
  } else if (device_) {
    device_->GetDefaultFolder(path);
    if (!path.empty()) path += std::string("iPod Photos") + platform_.Separator();
  }
  return QString::fromStdString(path);
}

void TIpodPhotoFrm::LoadSettings() {
  if (settings_->status() != QSettings::NoError) return;
  // The folder stored at the last close comes first; the older value and
  // then the default folder stand in when it is blank.
  QString folder = settings_->value(QStringLiteral("POutpath")).toString().trimmed();
  if (folder.isEmpty()) folder = settings_->value(QStringLiteral("Outpath")).toString().trimmed();
  if (folder.isEmpty()) folder = DefaultDestination();
  DestEdt->setText(folder);
  const QString heic = settings_->value(QStringLiteral("HeicJpeg")).toString();
  if (HeicConversionAvailable() && heic == QStringLiteral("also")) HeicAlsoMnu->setChecked(true);
  if (HeicConversionAvailable() && heic == QStringLiteral("instead")) HeicInsteadMnu->setChecked(true);
}

THeicJpeg TIpodPhotoFrm::HeicChoice() const {
  if (!HeicConversionAvailable()) return THeicJpeg::No;
  if (HeicAlsoMnu->isChecked()) return THeicJpeg::Also;
  if (HeicInsteadMnu->isChecked()) return THeicJpeg::Instead;
  return THeicJpeg::No;
}

void TIpodPhotoFrm::SaveSettings() {
  if (settings_->status() != QSettings::NoError) return;
  settings_->setValue(QStringLiteral("POutpath"), DestEdt->text());
  if (HeicConversionAvailable()) {
    const THeicJpeg heic = HeicChoice();
    settings_->setValue(QStringLiteral("HeicJpeg"), heic == THeicJpeg::Also      ? QStringLiteral("also")
                                                   : heic == THeicJpeg::Instead ? QStringLiteral("instead")
                                                                                : QStringLiteral("no"));
  }
  settings_->sync();
}

void TIpodPhotoFrm::OpenHelpTopic(const QString& topic) {
  const QString file = QDir(HelpFolder(options_.ProgramFolder)).filePath(topic);
  if (!QFileInfo::exists(file)) return;
  shell_.OpenUrl(QUrl::fromLocalFile(file));
}

void TIpodPhotoFrm::OpenLink(const QUrl& url) {
  // A bundled page that is missing opens nothing, like the help.
  if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) return;
  shell_.OpenUrl(url);
}

void TIpodPhotoFrm::HlpLbClick() { OpenHelpTopic(QStringLiteral("quillguide.html")); }

void TIpodPhotoFrm::WebLbClick() { OpenLink(links_.About); }

void TIpodPhotoFrm::IphoneErrLbClick() { OpenLink(links_.IosHelp); }

void TIpodPhotoFrm::StopBtnClick() {
  if (device_->IsItunesRunning()) {
    boxes_.Warning(QStringLiteral("The iTunes is running!\rPlease close the iTunes first to try again."));
    return;
  }
  device_->CloseItunesHelper();
  boxes_.Information(QStringLiteral("Done.\rIt is safe to connect your iPod to computer now."));
}

void TIpodPhotoFrm::StartWindowDrag(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
  dragging_ = true;
  drag_offset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

bool TIpodPhotoFrm::eventFilter(QObject* watched, QEvent* event) {
  const auto type = event->type();
  if (type == QEvent::Resize && watched == PhotoPnl) LayoutPhotoPnl();
  if (watched == ResizeImg && ResizeFromCorner(event)) return true;
  if (type == QEvent::MouseButtonPress) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (watched == CapShLb) {
      StartWindowDrag(mouse);
      return true;
    }
    if (watched == PhotoList->viewport() || watched == cell_area_->Content()) PhotoList->setFocus();
  }
  if (type == QEvent::MouseMove && dragging_) {
    move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - drag_offset_);
    return true;
  }
  if (type == QEvent::MouseButtonRelease) {
    dragging_ = false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton) {
      auto* widget = qobject_cast<QWidget*>(watched);
      const bool inside = widget != nullptr && widget->rect().contains(mouse->position().toPoint());
      if (inside && watched == WebLb) WebLbClick();
      if (inside && watched == HlpLb) HlpLbClick();
      if (inside && watched == IphoneErrLb) IphoneErrLbClick();
      if (inside && watched == DetailLb) DetailLbClick();
    }
  }
  if (type == QEvent::Wheel && watched == PhotoList->viewport()) {
    ScrollCells(static_cast<QWheelEvent*>(event)->angleDelta().y());
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

bool TIpodPhotoFrm::ResizeFromCorner(QEvent* event) {
  const auto type = event->type();
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease) {
    return false;
  }
  auto* mouse = static_cast<QMouseEvent*>(event);
  if (type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton) {
    // The window system resizes where it can; otherwise the window follows
    // the pointer itself (the minimum size holds either way).
    if (windowHandle() != nullptr && windowHandle()->startSystemResize(Qt::RightEdge | Qt::BottomEdge)) return true;
    resizing_ = true;
    resize_offset_ = QPoint(width(), height()) - mouse->globalPosition().toPoint();
    return true;
  }
  if (type == QEvent::MouseMove && resizing_) {
    const QPoint size = mouse->globalPosition().toPoint() + resize_offset_;
    resize(size.x(), size.y());
    return true;
  }
  if (type == QEvent::MouseButtonRelease && resizing_) {
    resizing_ = false;
    return true;
  }
  return false;
}

void TIpodPhotoFrm::ScrollCells(int delta) {
  QScrollBar* bar = PhotoList->verticalScrollBar();
  bar->setValue(bar->value() - delta);
}

void TIpodPhotoFrm::wheelEvent(QWheelEvent* event) {
  // Wheel turns anywhere in the window scroll the cells, a pixel per unit.
  ScrollCells(event->angleDelta().y());
  event->ignore();
}

bool TIpodPhotoFrm::FormCloseQuery() {
  if (Transferring) {
    boxes_.Warning(QStringLiteral("Transfer is in progress.\rPlease cancel the transfer before closing the program."));
    return false;
  }
  return true;
}

void TIpodPhotoFrm::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // A page being built still uses the library, and a wait for the transfer
  // thread (a removal, a reconnection) goes on with the device once the
  // thread has ended: close once that work is done.
  if (building_page_ > 0 || changing_device_ || copy_wait_loop_ != nullptr) {
    close_pending_ = true;
    event->ignore();
    return;
  }
  if (!FormCloseQuery()) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TIpodPhotoFrm::FormClose() {
  SaveSettings();
  Closing = true;
  watcher_.reset();
  EndIosHandOvers();
  AlbumLstList->clear();
  // A cancelled transfer may still be finishing its file.
  WaitForCopyThread();
  db_.reset();
  if (device_->DiskFound) {
    device_->EjectOnClose = boxes_.Confirm(
        QStringLiteral("Do you want to eject your iPod now?\rEject it only when you want to disconnect the iPod from "
                       "PC.\rYou can also eject it later from iTunes."));
  }
  device_.reset();
  closed_ = true;
}

}  // namespace quill

#include "login/frmlogin.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QValidator>

#include "login/signin.h"
#include "platform/jpeg.h"
#include "principal/frmprincipal.h"
#include "service/endpoints.h"
#include "service/http/httptransfer.h"
#include "shell/boxes.h"
#include "shell/events.h"
#include "ui_frmlogin.h"

TFrmLogin* FrmLogin = nullptr;

namespace {

// The user-name field takes every character in lower case, typed or pasted.
class LowerCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& /*pos*/) const override {
    input = input.toLower();
    return Acceptable;
  }
};

}  // namespace

TFrmLogin::TFrmLogin() : TForm(19), ui_(std::make_unique<Ui::TFrmLogin>()) {}

TFrmLogin::~TFrmLogin() = default;

void TFrmLogin::SetupLayout() {
  ui_->setupUi(this);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  ui_->Image1->setPixmap(QPixmap::fromImage(LoadJpeg(QString::fromUtf16(kPicture))));
  ui_->Edit1->setValidator(new LowerCaseValidator(ui_->Edit1));
  ui_->RadioGroup1->hide();
  siteChoice_ = new QButtonGroup(this);
  siteChoice_->addButton(ui_->RadioButton1, 0);
  siteChoice_->addButton(ui_->RadioButton2, 1);

  http1_ = std::make_unique<THttpTransfer>();
  http1_->Accept = QString::fromLatin1(kAcceptText);
  http1_->UserAgent = QString::fromLatin1(kUserAgent);
  http1_->AllowCookies = true;

  ui_->Edit1->installEventFilter(this);
  ui_->Edit2->installEventFilter(this);
  ui_->Button1->installEventFilter(this);
  Bind(ui_->Button1, &QPushButton::clicked, this, &TFrmLogin::Button1Click);
  Bind(ui_->CheckBox1, &QCheckBox::toggled, this, &TFrmLogin::CheckBox1Click);
  connect(siteChoice_, &QButtonGroup::idClicked, this, [this](int id) {
    // Only a change of site counts; clicking the selected one again is no choice.
    if (id == siteIndex_) return;
    siteIndex_ = id;
    Dispatch(siteChoice_, [this] { RadioGroup1Click(); });
  });
  ui_->Edit1->setFocus();
}

bool TFrmLogin::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched == ui_->Button1) {
    // Enter on the focused button clicks it, as on any focused push button, but not with Shift,
    // Ctrl or Alt; Space the button handles itself. Not the default-button mechanism: the window
    // has no default button, and that would take Shift+Enter as well.
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers held =
        key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && held == Qt::NoModifier) {
      if (!key->isAutoRepeat()) ui_->Button1->click();
      return true;
    }
  } else if (event->type() == QEvent::KeyRelease &&
             (watched == ui_->Edit1 || watched == ui_->Edit2)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!key->isAutoRepeat()) {
      Dispatch(watched, [this, key] { Edit1KeyUp(key->key(), key->modifiers()); });
    }
  } else if (event->type() == QEvent::FocusOut && watched == ui_->Edit1) {
    // Leaving the field for another control of this window, not switching windows.
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
      Dispatch(watched, [this] { Edit1Exit(); });
    }
  }
  return TForm::eventFilter(watched, event);
}

void TFrmLogin::Edit1Exit() {
  ui_->RadioGroup1->setVisible(StripDigits(ui_->Edit1->text()) ==
                               QString::fromUtf16(kSpecialAccount));
}

void TFrmLogin::Edit1KeyUp(int key, Qt::KeyboardModifiers /*shift*/) {
  if (key == Qt::Key_Return || key == Qt::Key_Enter) ui_->Button1->click();
}

void TFrmLogin::RadioGroup1Click() {
  ui_->Button1->setFocus(Qt::OtherFocusReason);
}

void TFrmLogin::CheckBox1Click() {
  if (ui_->CheckBox1->isChecked()) ShowMessage(QString::fromUtf16(kMsgRotaAlternativa));
}

void TFrmLogin::Button1Click() {
  // Every failure of an attempt, whatever its cause, is told with one message; the window keeps
  // what the user typed for the next attempt.
  try {
    SignIn();
  } catch (...) {
    ShowMessage(QString::fromUtf16(kMsgParametrosIncorretos));
  }
}

void TFrmLogin::SignIn() {
  QString key = StripDigits(ui_->Edit1->text());
  if (!ui_->RadioGroup1->isHidden() && siteChoice_->checkedId() == 0) {
    key += QString::fromUtf16(kSpecialAccountSiteSuffix);
  }
  const QString address =
      QString::fromLatin1(ui_->CheckBox1->isChecked() ? kLookupUrlAlternative : kLookupUrl) +
      EncodeUserKey(key);
  const TLookupReply reply = SplitLookupReply(http1_->Get(address));
  if (reply.host.isEmpty() || reply.port.isEmpty()) {
    ShowMessage(QString::fromUtf16(kMsgUsuarioNaoEncontrado));
    return;
  }

  // Sign-in asks for the record's default desktop size, 1024 x 768.
  TConnectionParameters connection;
  connection.port = PortFromText(reply.port);
  connection.userName = ui_->Edit1->text();
  connection.password = ui_->Edit2->text();
  connection.server = reply.host;
  FrmPrincipal->SetConnectionParameters(std::move(connection));

  FrmPrincipal->BecomeMainForm();
  FrmPrincipal->Show();
  Close();
}

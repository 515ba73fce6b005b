#include "cert_request_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QToolButton>
#include <filesystem>
#include <system_error>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/text_utils.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"
#include "qt_text.h"
#include "subject_widgets.h"

namespace certdesk {
namespace {

constexpr int kClientWidth = 700;
constexpr int kClientHeight = 554;

const std::vector<const char*> kPositions = {
    "Глава",
    "Глава администрации",
    "Глава сельского поселения",
    "Генеральный директор",
    "Главный бухгалтер",
    "Главный врач",
    "Директор",
    "Директор школы",
    "Бухгалтер",
    "Заведующий",
    "Заведующая",
    "Руководитель",
    "Командир",
    "Министр",
    "Начальник",
    "Начальник управления",
    "Управляющий",
    "Ректор",
    "Индивидуальный предприниматель",
    "Исполнительный директор",
    "Председатель правления",
    "Председатель",
    "Председатель ликвидационной комиссии",
    "Художественный руководитель",
};

const std::vector<const char*> kDepartments = {"Руководство", "Бухгалтерия", "Управление"};

const std::vector<const char*> kRegions = {
    "01 Республика Адыгея (Адыгея)",
    "02 Республика Башкортостан",
    "03 Республика Бурятия",
    "04 Республика Алтай",
    "05 Республика Дагестан",
    "06 Республика Ингушетия",
    "07 Кабардино-Балкарская Республика",
    "08 Республика Калмыкия",
    "09 Карачаево-Черкесская Республика",
    "10 Республика Карелия",
    "11 Республика Коми",
    "12 Республика Марий Эл",
    "13 Республика Мордовия",
    "14 Республика Саха (Якутия)",
    "15 Республика Северная Осетия - Алания",
    "16 Республика Татарстан",
    "17 Республика Тыва",
    "18 Удмуртская Республика",
    "19 Республика Хакасия",
    "20 Чеченская Республика",
    "21 Чувашская Республика - Чувашия",
    "22 Алтайский край",
    "23 Краснодарский край",
    "24 Красноярский край",
    "25 Приморский край",
    "26 Ставропольский край",
    "27 Хабаровский край",
    "28 Амурская область",
    "29 Архангельская область и Ненецкий автономный округ",
    "30 Астраханская область",
    "31 Белгородская область",
    "32 Брянская область",
    "33 Владимирская область",
    "34 Волгоградская область",
    "35 Вологодская область",
    "36 Воронежская область",
    "37 Ивановская область",
    "38 Иркутская область",
    "39 Калининградская область",
    "40 Калужская область",
    "41 Камчатский край",
    "42 Кемеровская область",
    "43 Кировская область",
    "44 Костромская область",
    "45 Курганская область",
    "46 Курская область",
    "47 Ленинградская область",
    "48 Липецкая область",
    "49 Магаданская область",
    "50 Московская область",
    "51 Мурманская область",
    "52 Нижегородская область",
    "53 Новгородская область",
    "54 Новосибирская область",
    "55 Омская область",
    "56 Оренбургская область",
    "57 Орловская область",
    "58 Пензенская область",
    "59 Пермский край",
    "60 Псковская область",
    "61 Ростовская область",
    "62 Рязанская область",
    "63 Самарская область",
    "64 Саратовская область",
    "65 Сахалинская область",
    "66 Свердловская область",
    "67 Смоленская область",
    "68 Тамбовская область",
    "69 Тверская область",
    "70 Томская область",
    "71 Тульская область",
    "72 Тюменская область",
    "73 Ульяновская область",
    "74 Челябинская область",
    "75 Забайкальский край",
    "76 Ярославская область",
    "77 г. Москва",
    "78 г. Санкт-Петербург",
    "79 Еврейская автономная область",
    "86 Ханты-Мансийский автономный округ - Югра",
    "87 Чукотский автономный округ",
    "89 Ямало-Ненецкий автономный округ",
    "91 Республика Крым",
    "92 г. Севастополь",
    "99 Иные территории, включая, г. Байконур",
};

const std::vector<const char*> kTowns = {
    "с. Агаповка",
    "с. Аргаяш",
    "Аша",
    "п. Бреды",
    "с. Варна",
    "Верхнеуральск",
    "Верхний Уфалей",
    "Еманжелинск",
    "с. Еткуль",
    "Златоуст",
    "Карабаш",
    "Карталы",
    "Касли",
    "Катав-Ивановск",
    "Коркино",
    "Миасское",
    "c.Кунашак",
    "Куса",
    "Кыштым",
    "Магнитогорск",
    "Миасс",
    "с. Фершампенуаз",
    "Нязепетровск",
    "с. Октябрьское",
    "Пласт",
    "Сатка",
    "с. Долгодеревенское",
    "Троицк",
    "п. Увельский",
    "пос. Увильды",
    "с. Уйское",
    "Усть - Катав",
    "Чебаркуль",
    "с. Чесма",
    "Южноуральск",
    "Алапаевск",
    "Арамиль",
    "Артемовск",
    "Асбест",
    "Белоярский",
    "Березовский",
    "В.Тагил",
    "В.Пышма",
    "В.Салда",
    "В.Тура",
    "Верхотурье",
    "Волчанск",
    "Дегтярск",
    "Ивдель",
    "Ирбит",
    "Каменск-Уральский",
    "Камышлов",
    "Карпинск",
    "Качканар",
    "Кировград",
    "Краснотурьинск",
    "Красноуральск",
    "Красноуфимск",
    "Кушва",
    "Лесной",
    "Невьянск",
    "Н.Серьги",
    "Н.Тагил",
    "Н.Салда",
    "Н.Тура",
    "Н.Ляля",
    "Новоуральск",
    "Первоуральск",
    "Полевской",
    "Пышма",
    "Ревда",
    "Реж",
    "Рефтинский",
    "Североуральск",
    "Серов",
    "Среднеуральск",
    "Сухой лог",
    "Сысерть",
    "Таборы",
    "Тавда",
    "Талица",
    "Тугулым",
    "Туринск",
    "Туринская слабода",
    "Шаля",
    "Челябинск",
    "Екатеринбург",
    "Копейск",
    "Новосибирск",
    "Бердск",
    "Искитим",
};

const std::vector<const char*> kValidityPeriods = {
    "15 месяцев (1 год и 3 месяца)",
    "14 месяцев (1 год и 2 месяца)",
    "13 месяцев (1 год и 1 месяц)",
    "12 месяцев (1 год)",
    "11 месяцев",
    "10 месяцев",
    "9 месяцев",
    "8 месяцев",
    "7 месяцев",
    "6 месяцев",
    "5 месяцев",
    "4 месяца",
    "3 месяца",
    "2 месяца",
    "1 месяц",
};

QStringList TextList(const std::vector<const char*>& items) {
    QStringList list;
    for (const char* item : items)
        list << Text(item);
    return list;
}

QLabel* AddLabel(QWidget* parent, const char* caption, QRect geometry) {
    auto* label = new QLabel(Text(caption), parent);
    label->setGeometry(geometry);
    return label;
}

TSButton* AddButton(QWidget* parent, const char* name, const char* caption, QRect geometry,
                    bool bold = false) {
    auto* button = new TSButton(Text(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    if (bold) {
        QFont font = button->font();
        font.setBold(true);
        button->setFont(font);
    }
    return button;
}

QGroupBox* AddGroup(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* group = new QGroupBox(caption ? Text(caption) : QString(), parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(geometry);
    return group;
}

}  // namespace

TfCertRequestAlt::TfCertRequestAlt(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      dialogs_(dialogs) {
    setObjectName(QStringLiteral("fCertRequestAlt"));
    openDialog_.title = Ansi("Укажите файл с сертификатом");
    openDialog_.filter = Ansi("Сертификаты|*.cer");
    openDialogXML_.title = Ansi("Укажите файл с xml - шаблоном");
    openDialogXML_.filter = Ansi("xml-шаблон|*.xml");
    BuildFrame();
    BindHandlers();
    // The window sees key presses before its controls do.
    qApp->installEventFilter(this);
    FormCreate();
}

TfCertRequestAlt::~TfCertRequestAlt() {
    qApp->removeEventFilter(this);
}

void TfCertRequestAlt::BuildFrame() {
    setWindowTitle(
        Text("Генерация запроса на сертификат и установка готового сертификата на jaCarta"));
    // Where the design's font is missing, a narrow sans of about its metrics stands in.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                QStringLiteral("DejaVu Sans Condensed")});
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    setFixedSize(kClientWidth, kClientHeight);

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    PageControl->setGeometry(0, 0, kClientWidth, 505);
    tsMain = new QWidget;
    tsMain->setObjectName(QStringLiteral("tsMain"));
    tsInstallCert = new QWidget;
    tsInstallCert->setObjectName(QStringLiteral("tsInstallCert"));
    PageControl->addTab(tsMain, Text("&1. Генерация ключа и запроса на сертификат"));
    // The last letter of "jaCartа" here is the Cyrillic one.
    PageControl->addTab(tsInstallCert, Text("&2. Установка готового сертификата на jaCartа"));
    BuildMainPage(tsMain);
    BuildInstallPage(tsInstallCert);
    PageControl->setCurrentWidget(tsMain);

    Button2 = new QPushButton(Text("За&крыть"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(kClientWidth - 88, 508, 80, 24);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setGeometry(0, kClientHeight - 19, kClientWidth, 19);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    const std::pair<const char*, const char*> items[] = {
        {"Windows1", "Выбрать из \"хранилища\" сертификатов Windows"},
        {"N1", "Выбрать из файла"},
        {"jaCarta1", "Выбрать из сертификатов на jaCarta"},
    };
    for (const auto& [name, caption] : items)
        PopupMenu1->addAction(Text(caption))->setObjectName(QString::fromLatin1(name));
}

TSubjectEdit* TfCertRequestAlt::AddEdit(QWidget* parent, const char* name, const char* caption,
                                        QRect label, QRect field, int typedLimit) {
    auto* edit = new TSubjectEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(field);
    edit->setAccessibleName(Text(caption));
    if (typedLimit > 0)
        edit->SetTypedLimit(typedLimit);
    AddLabel(parent, caption, label)->setBuddy(edit);
    return edit;
}

TSubjectComboBox* TfCertRequestAlt::AddCombo(QWidget* parent, const char* name, const char* caption,
                                             QRect label, QRect field, int typedLimit,
                                             const std::vector<const char*>& items) {
    auto* combo = new TSubjectComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setGeometry(field);
    combo->setAccessibleName(Text(caption));
    combo->addItems(TextList(items));
    combo->setCurrentIndex(-1);
    combo->SetAutoDropDown(true);
    if (typedLimit > 0)
        combo->SetTypedLimit(typedLimit);
    AddLabel(parent, caption, label)->setBuddy(combo);
    return combo;
}

void TfCertRequestAlt::BuildMainPage(QWidget* page) {
    Label17 = new QLabel(
        Text("Заполните все обязательные поля (отмеченные красным подчеркиванием) вручную либо на "
             "основе сертификата или xml-шаблона и нажмите кнопку \"Генерировать ключ ...\""),
        page);
    Label17->setObjectName(QStringLiteral("Label17"));
    Label17->setGeometry(6, 4, 470, 44);
    Label17->setWordWrap(true);
    QFont bold = Label17->font();
    bold.setBold(true);
    Label17->setFont(bold);
    QPalette maroon = Label17->palette();
    maroon.setColor(QPalette::WindowText, QColor(128, 0, 0));
    Label17->setPalette(maroon);
    btnLoadFromCert =
        AddButton(page, "btnLoadFromCert", "Заполнить поля из сертификата", QRect(484, 2, 206, 22));
    btnLoadFromXML =
        AddButton(page, "btnLoadFromXML", "Заполнить поля из xml-шаблона", QRect(484, 26, 206, 22));

    rgCertOwnerType = new TSRadioGroup(page);
    rgCertOwnerType->setObjectName(QStringLiteral("rgCertOwnerType"));
    rgCertOwnerType->setTitle(Text("Тип владельца сертификата"));
    rgCertOwnerType->setGeometry(6, 50, 684, 40);
    rgCertOwnerType->SetColumns(2);
    rgCertOwnerType->SetItems({Text("Ю&ридическое лицо"), Text("И&ндивидуальный предприниматель")});

    gbSubject =
        AddGroup(page, "gbSubject", "Сведения о владельце сертификата", QRect(6, 92, 684, 96));
    const auto left = [](int row) { return QRect(8, 18 + 26 * row + 3, 66, 16); };
    const auto leftField = [](int row) { return QRect(76, 18 + 26 * row, 252, 21); };
    const auto right = [](int row) { return QRect(340, 18 + 26 * row + 3, 66, 16); };
    const auto rightField = [](int row) { return QRect(408, 18 + 26 * row, 268, 21); };
    edtSN = AddEdit(gbSubject, "edtSN", "Фамилия", left(0), leftField(0), 64);
    edtGN1 = AddEdit(gbSubject, "edtGN1", "Имя", left(1), leftField(1), 64);
    edtGN2 = AddEdit(gbSubject, "edtGN2", "Отчество", left(2), leftField(2), 64);
    edtSNILS = AddEdit(gbSubject, "edtSNILS", "СНИЛС", right(0), rightField(0), 11);
    edtSNILS->setToolTip(Text("Укажите СНИЛС - только цифры (без знака \"минус\" и пробелов)"));
    edtEMAIL = AddEdit(gbSubject, "edtEMAIL", "E-mail", right(1), rightField(1), 40);
    dbeCategory =
        AddCombo(gbSubject, "dbeCategory", "Должность", right(2), rightField(2), 0, kPositions);
    dbeCategory->setMaxVisibleItems(10);
    dbeCategory->setToolTip(
        Text("Выберите должность из списка или введите вручную нужное значение"));

    gbAdrdess = AddGroup(page, "gbAdrdess", "Фактический адрес организации (магазина)",
                         QRect(6, 190, 684, 72));
    edtST = AddCombo(gbAdrdess, "edtST", "Область", left(0), QRect(76, 18, 600, 21), 64, kRegions);
    edtL = AddCombo(gbAdrdess, "edtL", "Город", left(1), leftField(1), 64, kTowns);
    edtStreet = AddEdit(gbAdrdess, "edtStreet", "Улица, дом", right(1), rightField(1), 128);

    gbOrgSettings =
        AddGroup(page, "gbOrgSettings", "Сведения об организации (Индивидуальном предпринимателе)",
                 QRect(6, 264, 684, 110));
    edtO = AddEdit(gbOrgSettings, "edtO", "Наименование", QRect(8, 21, 206, 16),
                   QRect(216, 18, 460, 21), 0);
    edtOU = AddCombo(gbOrgSettings, "edtOU", "Отдел / Обособленное подразделение",
                     QRect(8, 47, 206, 16), QRect(216, 44, 460, 21), 0, kDepartments);
    auto* separator = new QFrame(gbOrgSettings);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    separator->setGeometry(8, 70, 668, 6);
    edtOGRN = AddEdit(gbOrgSettings, "edtOGRN", "ОГРН (ИП)", QRect(8, 83, 66, 16),
                      QRect(76, 80, 150, 21), 15);
    edtINN = AddEdit(gbOrgSettings, "edtINN", "ИНН", QRect(246, 83, 30, 16),
                     QRect(278, 80, 130, 21), 12);
    edtKPP =
        AddEdit(gbOrgSettings, "edtKPP", "КПП", QRect(428, 83, 30, 16), QRect(462, 80, 110, 21), 9);
    for (TSubjectEdit* digits : {edtSNILS, edtOGRN, edtINN, edtKPP})
        digits->SetDigitFilter(true);

    GroupBox1 = AddGroup(page, "GroupBox1", nullptr, QRect(6, 376, 684, 34));
    Label5 = AddLabel(GroupBox1,
                      "Срок действия запрашиваемого сертификата ключа ЭП:", QRect(8, 10, 300, 16));
    Label5->setObjectName(QStringLiteral("Label5"));
    cbValidForMonths = new TComboBox(GroupBox1);
    cbValidForMonths->setObjectName(QStringLiteral("cbValidForMonths"));
    cbValidForMonths->setGeometry(312, 6, 190, 21);
    cbValidForMonths->addItems(TextList(kValidityPeriods));
    cbValidForMonths->setAccessibleName(Label5->text());
    Label5->setBuddy(cbValidForMonths);
    Label7 = AddLabel(GroupBox1, "- от момента выпуска на УЦ", QRect(508, 10, 168, 16));
    Label7->setObjectName(QStringLiteral("Label7"));
    for (QWidget* period :
         std::initializer_list<QWidget*>{GroupBox1, Label5, cbValidForMonths, Label7})
        period->setEnabled(false);

    btnOK = AddButton(page, "btnOK",
                      "Генерировать ключ на jaCarta и запрос на сертификат для передачи в УЦ",
                      QRect(6, 416, 560, 28), true);
    btnOK->setEnabled(false);
    btnClearAll = AddButton(page, "btnClearAll", "Очистить все", QRect(572, 416, 118, 28));

    for (TSubjectField* field : std::initializer_list<TSubjectField*>{
             edtSN, edtGN1, edtGN2, edtSNILS, edtEMAIL, dbeCategory, edtST, edtL, edtStreet, edtO,
             edtOU, edtOGRN, edtINN, edtKPP})
        Register(field, true);
    for (TSubjectField* marked : std::initializer_list<TSubjectField*>{
             edtSN, edtGN1, edtSNILS, dbeCategory, edtST, edtL, edtStreet})
        marked->SetMarked(true);
}

void TfCertRequestAlt::BuildInstallPage(QWidget* page) {
    lblCertFileName = AddLabel(page, "Имя файла с сертификатом:", QRect(8, 12, 300, 16));
    edtCertFileName = new TSubjectEdit(page);
    edtCertFileName->setObjectName(QStringLiteral("edtCertFileName"));
    edtCertFileName->setGeometry(8, 30, 652, 21);
    edtCertFileName->setAccessibleName(lblCertFileName->text());
    edtCertFileName->SetMarked(true);
    lblCertFileName->setBuddy(edtCertFileName);
    edtCertFileNameEditButtons0 = new QToolButton(page);
    edtCertFileNameEditButtons0->setObjectName(QStringLiteral("edtCertFileNameEditButtons0"));
    edtCertFileNameEditButtons0->setText(QStringLiteral("..."));
    edtCertFileNameEditButtons0->setAccessibleName(lblCertFileName->text());
    edtCertFileNameEditButtons0->setGeometry(662, 30, 24, 21);
    Register(edtCertFileName, false);

    btnInstall = AddButton(page, "btnInstall", "Установить сертификат на jaCartа",
                           QRect(8, 66, 340, 26), true);
    btnFindInDir =
        AddButton(page, "btnFindInDir", "Найти сертификат в каталоге ", QRect(8, 98, 340, 26));
    btnGetCertInfo = AddButton(page, "btnGetCertInfo", "Информация о сертификатах на jaCarta",
                               QRect(8, 130, 340, 26));
    btnTestSign = AddButton(page, "btnTestSign", "Протестировать работу сертификата ...",
                            QRect(8, 162, 340, 26));
    btnTestSign->setToolTip(
        Text("Тестирует выбранный сертификат на соответствие закрытому ключу на JaCarta"));
}

void TfCertRequestAlt::Register(TSubjectField* field, bool subject) {
    fields_.push_back(field);
    if (subject)
        subjectFields_.push_back(field);
}

void TfCertRequestAlt::BindHandlers() {
    using Rule = void (TfCertRequestAlt::*)(TSubjectField&, bool&) const;
    const std::pair<TSubjectField*, Rule> rules[] = {
        {edtSN, &TfCertRequestAlt::edtSNCheckDrawRequiredState},
        {edtGN1, &TfCertRequestAlt::edtSNCheckDrawRequiredState},
        {edtST, &TfCertRequestAlt::edtSNCheckDrawRequiredState},
        {edtL, &TfCertRequestAlt::edtSNCheckDrawRequiredState},
        {edtStreet, &TfCertRequestAlt::edtSNCheckDrawRequiredState},
        {dbeCategory, &TfCertRequestAlt::dbeCategoryCheckDrawRequiredState},
        {edtO, &TfCertRequestAlt::dbeCategoryCheckDrawRequiredState},
        {edtSNILS, &TfCertRequestAlt::edtSNILSCheckDrawRequiredState},
        {edtEMAIL, &TfCertRequestAlt::edtEMAILCheckDrawRequiredState},
        {edtOGRN, &TfCertRequestAlt::edtOGRNCheckDrawRequiredState},
        {edtINN, &TfCertRequestAlt::edtINNCheckDrawRequiredState},
        {edtKPP, &TfCertRequestAlt::edtKPPCheckDrawRequiredState},
        {edtCertFileName, &TfCertRequestAlt::edtCertFileNameCheckDrawRequiredState},
    };
    for (const auto& [field, rule] : rules) {
        field->SetRequiredRule([this, f = field, r = rule] {
            bool requiredState = false;
            (this->*r)(*f, requiredState);
            return requiredState;
        });
    }

    for (TSubjectField* field : subjectFields_) {
        if (field == edtINN)
            field->SetOnExit([this] { Guarded([this] { edtINNExit(); }); });
        else
            field->SetOnExit([this, field] { Guarded([this, field] { edtSNExit(*field); }); });
        const auto change = [this] { Guarded([this] { edtSNChange(); }); };
        if (auto* edit = qobject_cast<QLineEdit*>(field->Widget()))
            connect(edit, &QLineEdit::textChanged, this, change);
        else if (auto* combo = qobject_cast<QComboBox*>(field->Widget()))
            connect(combo, &QComboBox::editTextChanged, this, change);
    }

    connect(rgCertOwnerType, &TSRadioGroup::itemIndexChanged, this, [this](int index) {
        if (index >= 0)
            Guarded([this] { rgCertOwnerTypeClick(); });
    });
    connect(btnClearAll, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { btnClearAllClick(); }); });
    connect(btnLoadFromCert, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { btnLoadFromCertClick(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(btnOK, &QAbstractButton::clicked, this, [this] { Guarded([this] { btnOKClick(); }); });
    connect(edtCertFileNameEditButtons0, &QToolButton::clicked, this,
            [this] { Guarded([this] { edtCertFileNameEditButtons0Click(); }); });
    BindRequestAndFillHandlers();
    BindInstallAndSignHandlers();
}

void TfCertRequestAlt::Guarded(const std::function<void()>& work) noexcept {
    try {
        work();
    } catch (const SilentAbort&) {
    } catch (const Error& error) {
        ShowError(error.Message());
    } catch (const std::exception& error) {
        // A fault of the program itself: said so, with what the library reported.
        ShowError(Ansi("Внутренняя ошибка программы: ") + error.what());
    } catch (...) {
        ShowError(Ansi("Внутренняя ошибка программы"));
    }
}

void TfCertRequestAlt::ShowError(const std::string& message) noexcept {
    try {
        dialogs_.ShowCaptionedBox(message, MessageKind::Error, Ansi("Ошибка"),
                                  ButtonSet{Button::Cancel}, Button::Cancel, {Ansi("Закрыть")});
    } catch (...) {
        // Nothing is left to show it with.
    }
}

void TfCertRequestAlt::RunWithWaitText(const std::string& statusText,
                                       const std::function<void()>& work) {
    StatusBar->showMessage(QStringFromAnsi(statusText));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct Restore {
        QStatusBar* bar;
        ~Restore() {
            QApplication::restoreOverrideCursor();
            bar->clearMessage();
        }
    } restore{StatusBar};
    QThread::yieldCurrentThread();
    QCoreApplication::processEvents();
    work();
}

bool TfCertRequestAlt::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType() ||
        static_cast<QWidget*>(watched)->window() != this)
        return false;
    bool consumed = false;
    Guarded([&] { consumed = FormKeyDown(*static_cast<QKeyEvent*>(event)); });
    return consumed;
}

void TfCertRequestAlt::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    CentreOnScreen();
    Guarded([this] { FormShow(); });
}

void TfCertRequestAlt::CentreOnScreen() {
    // The window's own doing, so that it is centred with no window manager as well.
    const QScreen* display = screen();
    if (display == nullptr)
        return;
    const QRect area = display->availableGeometry();
    const QSize frame = frameGeometry().size();
    move(area.x() + (area.width() - frame.width()) / 2,
         area.y() + (area.height() - frame.height()) / 2);
}

OwnerType TfCertRequestAlt::Owner() const {
    switch (rgCertOwnerType->ItemIndex()) {
        case 0:
            return OwnerType::LegalEntity;
        case 1:
            return OwnerType::Entrepreneur;
        default:
            return OwnerType::None;
    }
}

void TfCertRequestAlt::RecomputeOK() {
    btnOK->setEnabled(CanGenerate());
}

void TfCertRequestAlt::FormCreate() {
    // The error display is the guard every handler runs through.
    try {
        cbValidForMonths->removeItem(0);
        cbValidForMonths->removeItem(0);
        cbValidForMonths->setCurrentIndex(0);
        if (TokenHasEKUSupport()) {
            for (QWidget* period :
                 std::initializer_list<QWidget*>{GroupBox1, Label5, cbValidForMonths, Label7})
                period->setEnabled(true);
        }
    } catch (...) {
        // The window opens all the same, without the validity period.
    }
}

void TfCertRequestAlt::FormShow() {
    rgCertOwnerType->SetItemIndex(0);
}

bool TfCertRequestAlt::FormKeyDown(QKeyEvent& event) {
    if (event.key() != Qt::Key_Return && event.key() != Qt::Key_Enter)
        return false;
    for (QWidget* w = QApplication::focusWidget(); w != nullptr; w = w->parentWidget()) {
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            if (combo->view()->isVisible())
                return false;  // the open list takes Enter
            break;
        }
    }
    focusNextChild();
    return true;
}

void TfCertRequestAlt::rgCertOwnerTypeClick() {
    ApplyOwnerType();
    gbOrgSettings->setTitle(rgCertOwnerType->ItemIndex() == 0
                                ? Text("Сведения об организации")
                                : Text("Сведения об индивидуальном предпринимателе"));
    RecomputeOK();
}

void TfCertRequestAlt::ApplyOwnerType() {
    if (Owner() == OwnerType::LegalEntity) {
        edtO->setEnabled(true);
        edtO->SetGrey(false);
        edtO->SetMarked(true);
        edtOU->setEnabled(true);
        edtOU->SetGrey(false);
        dbeCategory->SetMarked(true);
        edtOGRN->SetMarked(true);
        edtOGRN->SetGrey(false);
        edtOGRN->setEnabled(true);
        edtINN->SetMarked(true);
        edtKPP->setEnabled(true);
        edtKPP->SetGrey(false);
    } else {
        edtO->SetText(QString());
        edtO->setEnabled(false);
        edtO->SetGrey(true);
        edtO->SetMarked(false);
        edtOU->setEnabled(false);
        edtOU->SetText(QString());
        edtOU->SetGrey(true);
        dbeCategory->SetMarked(false);
        edtOGRN->SetMarked(true);
        edtOGRN->SetGrey(false);
        edtOGRN->setEnabled(true);
        edtINN->SetMarked(true);
        edtINN->SetGrey(false);
        edtINN->setEnabled(true);
        edtKPP->SetMarked(false);
        edtKPP->setEnabled(false);
        edtKPP->SetGrey(true);
        edtKPP->SetText(QString());
    }
    edtEMAIL->SetMarked(true);
    // The underlines follow the new marks at once.
    for (TSubjectField* field : fields_)
        field->Widget()->repaint();
}

bool TfCertRequestAlt::CanGenerate() const {
    // Only a required field holding nothing but blanks with both a CR and an LF among them
    // disables the button; the real guard is the check on pressing it.
    for (const TSubjectField* field : subjectFields_) {
        const QString text = field->Text();
        if (field->Marked() && IsBlank(AnsiFromQString(text)) && text.contains(u'\n') &&
            text.contains(u'\r'))
            return false;
    }
    return true;
}

void TfCertRequestAlt::edtSNChange() {
    RecomputeOK();
}

void TfCertRequestAlt::edtSNExit(TSubjectField& sender) {
    const QString trimmed = QStringFromAnsi(TrimBlanks(AnsiFromQString(sender.Text())));
    if (trimmed != sender.Text())
        sender.SetText(trimmed);
    RecomputeOK();
}

void TfCertRequestAlt::edtINNExit() {
    std::string inn = TrimBlanks(AnsiFromQString(edtINN->Text()));
    if (inn.size() == 10)
        inn = PadLeft(inn, 12, '0');
    const QString text = QStringFromAnsi(inn);
    if (text != edtINN->Text())
        edtINN->SetText(text);
    RecomputeOK();
}

void TfCertRequestAlt::btnClearAllClick() {
    for (TSubjectField* field : fields_)
        field->SetText(QString());
    rgCertOwnerType->SetItemIndex(-1);  // no type: the click handler does not run
    cbValidForMonths->setCurrentIndex(0);
}

void TfCertRequestAlt::btnLoadFromCertClick() {
    PopupMenu1->popup(btnLoadFromCert->mapToGlobal(QPoint(0, btnLoadFromCert->height())));
}

void TfCertRequestAlt::Button2Click() {
    close();
}

void TfCertRequestAlt::btnOKClick() {
    CheckSubjectFields();
    GenerateKeyAndRequest();
}

void TfCertRequestAlt::edtCertFileNameEditButtons0Click() {
    if (const std::optional<std::string> file = dialogs_.OpenFile(openDialog_))
        edtCertFileName->SetText(QStringFromAnsi(*file));
}

void TfCertRequestAlt::edtSNCheckDrawRequiredState(TSubjectField& sender,
                                                   bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Blank, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::dbeCategoryCheckDrawRequiredState(TSubjectField& sender,
                                                         bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::MarkedBlank, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtSNILSCheckDrawRequiredState(TSubjectField& sender,
                                                      bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Snils, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtEMAILCheckDrawRequiredState(TSubjectField& sender,
                                                      bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Email, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtOGRNCheckDrawRequiredState(TSubjectField& sender,
                                                     bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Ogrn, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtINNCheckDrawRequiredState(TSubjectField& sender,
                                                    bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Inn, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtKPPCheckDrawRequiredState(TSubjectField& sender,
                                                    bool& requiredState) const {
    requiredState = DrawsRequiredState(UnderlineRule::Never, AnsiFromQString(sender.Text()),
                                       sender.Marked(), Owner());
}

void TfCertRequestAlt::edtCertFileNameCheckDrawRequiredState(TSubjectField& sender,
                                                             bool& requiredState) const {
    const std::string name = TrimBlanks(AnsiFromQString(sender.Text()));
    std::error_code error;
    requiredState = name.empty() || !std::filesystem::is_regular_file(PathFromAnsi(name), error);
}

SubjectTexts TfCertRequestAlt::ReadSubject() const {
    SubjectTexts t;
    t.owner = Owner();
    t.surname = AnsiFromQString(edtSN->Text());
    t.givenName = AnsiFromQString(edtGN1->Text());
    t.snils = AnsiFromQString(edtSNILS->Text());
    t.email = AnsiFromQString(edtEMAIL->Text());
    t.position = AnsiFromQString(dbeCategory->Text());
    t.region = AnsiFromQString(edtST->Text());
    t.town = AnsiFromQString(edtL->Text());
    t.street = AnsiFromQString(edtStreet->Text());
    t.orgName = AnsiFromQString(edtO->Text());
    t.department = AnsiFromQString(edtOU->Text());
    t.ogrn = AnsiFromQString(edtOGRN->Text());
    t.inn = AnsiFromQString(edtINN->Text());
    return t;
}

void TfCertRequestAlt::WriteSubject(const SubjectTexts& t) {
    // Only the texts the check normalises or empties come back.
    const std::pair<TSubjectField*, const std::string*> normalised[] = {
        {dbeCategory, &t.position}, {edtST, &t.region},     {edtL, &t.town},
        {edtO, &t.orgName},         {edtOU, &t.department},
    };
    for (const auto& [field, text] : normalised) {
        const QString value = QStringFromAnsi(*text);
        if (value != field->Text())
            field->SetText(value);
    }
}

void TfCertRequestAlt::FocusSubjectField(SubjectField field) {
    PageControl->setCurrentWidget(tsMain);
    if (field == SubjectField::OwnerType) {
        const int index = std::max(rgCertOwnerType->ItemIndex(), 0);
        if (index < rgCertOwnerType->ButtonCount())
            rgCertOwnerType->ButtonAt(index)->setFocus(Qt::OtherFocusReason);
        return;
    }
    const std::pair<SubjectField, TSubjectField*> targets[] = {
        {SubjectField::Surname, edtSN},
        {SubjectField::GivenName, edtGN1},
        {SubjectField::Snils, edtSNILS},
        {SubjectField::Email, edtEMAIL},
        {SubjectField::Position, dbeCategory},
        {SubjectField::Region, edtST},
        {SubjectField::Town, edtL},
        {SubjectField::Street, edtStreet},
        {SubjectField::OrgName, edtO},
        {SubjectField::Department, edtOU},
        {SubjectField::Ogrn, edtOGRN},
        {SubjectField::Inn, edtINN},
    };
    for (const auto& [name, target] : targets)
        if (name == field)
            target->Widget()->setFocus(Qt::OtherFocusReason);
}

void TfCertRequestAlt::CheckSubjectFields() {
    SubjectTexts texts = ReadSubject();
    try {
        CheckSubject(texts);
    } catch (const SubjectCheckError& failure) {
        WriteSubject(texts);
        if (const std::optional<SubjectField> focus = failure.Focus())
            FocusSubjectField(*focus);
        throw;
    }
    WriteSubject(texts);
}

}  // namespace certdesk

#include "ServerStatsForm.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "ModalResult.h"

namespace zorva {

TfrmZorvaServerStats* frmZorvaServerStats = nullptr;

namespace {

QLabel* NewValueLabel(const char* name) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  // Wide enough for the running time of a server that has been up for weeks.
  label->setMinimumWidth(
      label->fontMetrics().horizontalAdvance(QStringLiteral("30 days 23 hrs 59 mins 59 secs")) + 8);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  label->setPalette(palette);
  return label;
}

QGroupBox* NewGroup(const QString& title, const char* name,
                    std::initializer_list<std::pair<const char*, QLabel*>> rows) {
  auto* group = new QGroupBox(title);
  group->setObjectName(QString::fromLatin1(name));
  auto* layout = new QFormLayout(group);
  layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  for (const auto& [caption, value] : rows) layout->addRow(QString::fromLatin1(caption), value);
  return group;
}

}  // namespace

QString FormatCount(double value) {
  // Doubles, not 64-bit integers: byte totals may exceed what an integer holds. Adding 0 turns
  // a rounded -0 into 0.
  return QLocale().toString(std::round(value) + 0.0, 'f', 0);
}

TfrmZorvaServerStats::TfrmZorvaServerStats(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmZorvaServerStats"));
  setWindowTitle(QStringLiteral("Server Statistics"));
  lblTimeActive = NewValueLabel("lblTimeActive");
  lblCurrentConnections = NewValueLabel("lblCurrentConnections");
  lblCurrentSubjects = NewValueLabel("lblCurrentSubjects");
  lblTotalConnections = NewValueLabel("lblTotalConnections");
  lblPeakConnections = NewValueLabel("lblPeakConnections");
  lblTotalSubjects = NewValueLabel("lblTotalSubjects");
  lblBytesRead = NewValueLabel("lblBytesRead");
  lblBytesWritten = NewValueLabel("lblBytesWritten");
  GroupBox1 = NewGroup(QStringLiteral("Current Information"), "GroupBox1",
                       {{"Time Active:", lblTimeActive},
                        {"Clients Connected:", lblCurrentConnections},
                        {"Client-Created Subjects:", lblCurrentSubjects}});
  GroupBox2 = NewGroup(QStringLiteral("Historical Information"), "GroupBox2",
                       {{"Total Connections:", lblTotalConnections},
                        {"Peak Connections:", lblPeakConnections},
                        {"Subjects Created:", lblTotalSubjects},
                        {"Total Bytes Read:", lblBytesRead},
                        {"Total Bytes Written:", lblBytesWritten}});
  btnOk = new QPushButton(QStringLiteral("OK"));
  btnOk->setObjectName(QStringLiteral("btnOk"));
  btnOk->setDefault(true);
  connect(btnOk, &QPushButton::clicked, this, [this] { done(mrOk); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOk);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(GroupBox1);
  layout->addWidget(GroupBox2);
  layout->addStretch();
  layout->addLayout(buttons);
  setFixedSize(minimumSizeHint().expandedTo(QSize(290, 311)));
}

void TfrmZorvaServerStats::reject() {
  done(mrCancel);
}

void TfrmZorvaServerStats::Populate(const TZorvaServerStats& stats) {
  lblTimeActive->setText(QString::fromStdString(stats.GetTimeActiveDesc()));
  lblCurrentConnections->setText(FormatCount(stats.CurrentConnections()));
  lblCurrentSubjects->setText(FormatCount(stats.CurrentSubjects()));
  lblTotalConnections->setText(FormatCount(stats.TotalConnections()));
  lblPeakConnections->setText(FormatCount(stats.PeakClientsConnected()));
  lblTotalSubjects->setText(FormatCount(stats.TotalSubjectsCreated()));
  lblBytesRead->setText(FormatCount(stats.BytesRead()));
  lblBytesWritten->setText(FormatCount(stats.BytesWritten()));
}

}  // namespace zorva

# Precompiled headers for the targets whose sources nearly all include the same heavy library
# headers (GoogleTest, nlohmann::json, Qt): each target parses them once instead of once per
# source, which is most of a clean build's time on a two-core machine.
option(QB_PRECOMPILED_HEADERS "Precompile the heavy library headers of the tests, the simulator, the host and the dialog" ON)

# Headers every test source includes.
set(QB_PCH_TESTS <gmock/gmock.h> <gtest/gtest.h> <nlohmann/json.hpp> <string> <vector> <map>
  <memory> <functional> <chrono> <optional>)

# Qt headers the Setup dialog's pages and their tests include.
set(QB_PCH_QT <QApplication> <QCheckBox> <QComboBox> <QDialog> <QDialogButtonBox> <QGroupBox>
  <QHBoxLayout> <QHeaderView> <QLabel> <QLineEdit> <QListWidget> <QMessageBox> <QPlainTextEdit>
  <QPushButton> <QRadioButton> <QSpinBox> <QTabWidget> <QTextBrowser> <QTreeWidget> <QVBoxLayout>
  <QWidget>)

function(qb_precompile target)
  if(NOT QB_PRECOMPILED_HEADERS)
    return()
  endif()
  target_precompile_headers(${target} PRIVATE ${ARGN})
  # ccache caches compilations that use a precompiled header only when the header's inclusion
  # is visible in the preprocessed text (GCC) and the header carries no time stamp (Clang).
  if(QB_CCACHE)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -fpch-preprocess)
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      target_compile_options(${target} PRIVATE -Xclang -fno-pch-timestamp)
    endif()
  endif()
endfunction()

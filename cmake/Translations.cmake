# Message catalogues of libZemTransformation.
#
# Each translations/ZemTransformation_<lang>.ts is compiled by lrelease at
# build time and embedded into the ZemTransformation library as the Qt
# resource ":/i18n/ZemTransformation_<lang>.qm", where
# Zem::installTranslator("ZemTransformation") finds it without any installed
# file. The .ts files are maintained by hand: only lrelease runs during the
# build; nothing regenerates or rewrites them (no lupdate step).

set(ZEM_TS_FILES
  ${CMAKE_CURRENT_SOURCE_DIR}/translations/ZemTransformation_de.ts)

set(ZEM_QM_DIR ${CMAKE_CURRENT_BINARY_DIR}/i18n)
set_source_files_properties(${ZEM_TS_FILES} PROPERTIES OUTPUT_LOCATION ${ZEM_QM_DIR})

# -nounfinished: a message marked unfinished stays English rather than
# showing a draft. NO_GLOBAL_TARGET keeps the project free of Qt's shared
# "release_translations" target name when embedded in a larger build.
qt_add_lrelease(ZemTransformation
  TS_FILES ${ZEM_TS_FILES}
  OPTIONS -nounfinished -silent
  QM_FILES_OUTPUT_VARIABLE ZEM_QM_FILES
  NO_GLOBAL_TARGET)

qt_add_resources(ZemTransformation zem_translations
  PREFIX "/i18n"
  BASE ${ZEM_QM_DIR}
  FILES ${ZEM_QM_FILES})

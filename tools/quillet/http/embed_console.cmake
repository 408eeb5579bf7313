# Writes the console's files (and the OpenAPI description) into a C++ source
# (OUT), so that the binary serves them wherever it is installed. DIR holds the files; FILES names
# them, separated by commas; the content type follows from the extension.
set(body "// Generated from tools/quillet/http/console by embed_console.cmake.\n")
string(APPEND body "#include \"http/console.h\"\n\nnamespace quillet::cli::http {\n")
string(APPEND body "namespace {\nconst ConsoleFile kFiles[] = {\n")
string(REPLACE "," ";" names "${FILES}")
set(type_html "text/html; charset=utf-8")
set(type_js "text/javascript; charset=utf-8")
set(type_css "text/css; charset=utf-8")
set(type_json "application/json")
foreach(name ${names})
  string(REGEX REPLACE ".*\\." "" extension "${name}")
  set(type "${type_${extension}}")
  file(READ "${DIR}/${name}" content)
  string(APPEND body "    {\"/${name}\", \"${type}\",\n     R\"quillet_console(${content})quillet_console\"},\n")
endforeach()
string(APPEND body "};\n}  // namespace\n\nstd::span<const ConsoleFile> ConsoleFiles() { return kFiles; }\n\n}  // namespace quillet::cli::http\n")
file(WRITE "${OUT}" "${body}")

// Every text the user reads, in Spanish and without accents, and the
// builders of the messages that name a file, a folder or a line. The dialogue
// prints some on standard output; the run driver prints the rest on standard
// error.

#ifndef PARTICION_SRC_PIXELSETS_MESSAGES_H_
#define PARTICION_SRC_PIXELSETS_MESSAGES_H_

#include <cstdint>
#include <string>

namespace pixelsets {

// Names of the set files, in the working directory.
inline constexpr char kEntrenamiento[] = "Entrenamiento.txt";
inline constexpr char kTest[] = "Test.txt";

// The dialogue, on standard output. The count questions are printf formats
// with one %d for the largest count allowed.
inline constexpr char kAskSource[] =
    "Introduzca Nombre de Fichero Origen (ej. Pixeles.txt): ";
inline constexpr char kAskTraining[] =
    "Introduzca Numero de pixels que quiere asignar para el entrenamiento\n"
    " Debe ser menor o igual de %d: ";
inline constexpr char kAskTest[] =
    "Introduzca Numero de pixels que quiere asignar para el test\n"
    " Debe ser menor o igual de %d: ";
inline constexpr char kOpenError[] = "Error al abrir el fichero Origen";
inline constexpr char kNotLess[] = "El numero introducido no es menor\n";
inline constexpr char kNotValid[] = "El numero introducido no es valido\n";

// Why a source was refused; the dialogue prints the reason, a blank line
// and the question again.
inline constexpr char kBadHeader[] =
    "El fichero Origen no empieza con un numero entero";
inline constexpr char kTooMany[] =
    "El fichero Origen tiene demasiados registros";
inline constexpr char kReadError[] = "Error al leer el fichero Origen";
inline constexpr char kSourceChanged[] =
    "El fichero Origen ha cambiado mientras se leia";
inline constexpr char kSourceIsASet[] =
    "El fichero Origen no puede ser Entrenamiento.txt ni Test.txt";
// "La linea N del fichero Origen tiene mas de 1999 caracteres".
std::string LongLine(std::uint64_t line);

// The ends of a run that wrote nothing, on standard error.
inline constexpr char kEndOfInput[] =
    "Fin de la entrada: no se ha escrito ningun fichero";
inline constexpr char kNoMemory[] =
    "No hay memoria suficiente: no se ha escrito ningun fichero";

// The progress of a long run on a terminal, a word for its step and how
// far it has come: "WORD: 42,7 %", or for a source of unknown size
// "WORD: 120 MiB".
inline constexpr char kReadingWord[] = "Leyendo el fichero Origen";
inline constexpr char kDrawingWord[] = "Sorteando";
inline constexpr char kWritingWord[] = "Escribiendo los conjuntos";

// The system's text for `errnum`, in the user's language where the system
// has it (EIO's when the failure left no errno).
std::string Reason(int errnum);

// "No se puede abrir TYPED: REASON": why a typed source name did not open.
std::string CannotOpen(const std::string& typed, const std::string& reason);
// The reason for a name that is a folder.
inline constexpr char kIsAFolder[] = "es una carpeta";

// "Error al escribir el fichero NAME: REASON".
std::string SetFileError(const std::string& name, int errnum);
std::string SetFileError(const std::string& name, const std::string& reason);
// The reasons for a set file that is not a regular file, and for two set
// file names that lead to one file.
inline constexpr char kNotRegular[] = "no es un fichero regular";
std::string SameFile(const std::string& other);
// "Error al escribir en la carpeta FOLDER: REASON".
std::string FolderError(const std::string& folder, int errnum);
// "Esperando a que termine otra ejecucion en la carpeta FOLDER".
std::string Waiting(const std::string& folder);
// "Aviso: no se ha podido borrar el fichero NAME: REASON".
std::string NotRemoved(const std::string& name, int errnum);
// Counts a draw cannot take: a caller's fault, never the user's.
std::string CountsOutOfRange(std::int64_t n_entr, std::int64_t n_test,
                             std::uint64_t records);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_MESSAGES_H_

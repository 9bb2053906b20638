#include "pixelsets/messages.h"

#include <cerrno>
#include <cstring>

namespace pixelsets {

std::string LongLine(std::uint64_t line) {
  return "La linea " + std::to_string(line) +
         " del fichero Origen tiene mas de 1999 caracteres";
}

std::string Reason(int errnum) {
  // strerror follows the messages category of the locale, which the run
  // takes from the user's environment.
  return std::strerror(errnum != 0 ? errnum : EIO);
}

std::string CannotOpen(const std::string& typed, const std::string& reason) {
  return "No se puede abrir " + typed + ": " + reason;
}

std::string SetFileError(const std::string& name, int errnum) {
  return SetFileError(name, Reason(errnum));
}

std::string SetFileError(const std::string& name, const std::string& reason) {
  return "Error al escribir el fichero " + name + ": " + reason;
}

std::string SameFile(const std::string& other) {
  return "es el mismo fichero que " + other;
}

std::string FolderError(const std::string& folder, int errnum) {
  return "Error al escribir en la carpeta " + folder + ": " + Reason(errnum);
}

std::string Waiting(const std::string& folder) {
  return "Esperando a que termine otra ejecucion en la carpeta " + folder;
}

std::string NotRemoved(const std::string& name, int errnum) {
  return "Aviso: no se ha podido borrar el fichero " + name + ": " +
         Reason(errnum);
}

std::string CountsOutOfRange(std::int64_t n_entr, std::int64_t n_test,
                             std::uint64_t records) {
  return "Cuentas fuera del conjunto: " + std::to_string(n_entr) + " + " +
         std::to_string(n_test) + " de " + std::to_string(records);
}

}  // namespace pixelsets

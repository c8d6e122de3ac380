# Conditions of the package: every failure is an error of class driftsim_<kind>_error and
# driftsim_error, carrying the program's message (and the file, where one is named).

driftsim_error <- function(kind, message, file = NULL, call = NULL) {
  classes <- switch(kind,
    parameter = "driftsim_parameter_error",
    file = "driftsim_file_error",
    # A file that cannot be written is a file error too.
    write = c("driftsim_write_error", "driftsim_file_error"),
    memory = "driftsim_memory_error",
    "driftsim_internal_error"
  )
  structure(
    class = c(classes, "driftsim_error", "error", "condition"),
    list(message = message, call = call, file = if (length(file) && nzchar(file)) file)
  )
}

stop_driftsim <- function(kind, message, file = NULL) {
  stop(driftsim_error(kind, message, file))
}

# The engine's result, or its failure raised as a condition.
engine_value <- function(value) {
  if (inherits(value, "driftsim_failure")) {
    stop_driftsim(value$kind, value$message, value$file)
  }
  value
}

# A single whole number, else a parameter error naming the argument.
whole_number <- function(x, name, n = 1L) {
  if (!is.numeric(x) || length(x) != n || anyNA(x) || any(!is.finite(x)) ||
        any(x != round(x))) {
    stop_driftsim("parameter", sprintf(
      "%s must be %s and got %s", name,
      if (n == 1L) "a whole number" else sprintf("%d whole numbers", n),
      paste(deparse(x), collapse = " ")
    ))
  }
  x
}

a_number <- function(x, name, n = 1L) {
  if (!is.numeric(x) || length(x) != n || anyNA(x) || any(!is.finite(x))) {
    stop_driftsim("parameter", sprintf(
      "%s must be %s and got %s", name,
      if (n == 1L) "a finite number" else sprintf("%d finite numbers", n),
      paste(deparse(x), collapse = " ")
    ))
  }
  x
}

a_path <- function(x, name) {
  if (!is.character(x) || length(x) != 1L || is.na(x) || !nzchar(x)) {
    stop_driftsim("parameter", sprintf(
      "%s must be a file name and got %s", name, paste(deparse(x), collapse = " ")
    ))
  }
  x
}

# The text of a number as the parameter file reads it: whole numbers without exponent, reals
# with the 15 significant digits that give back the value written.
whole_text <- function(x) sprintf("%.0f", x)
real_text <- function(x) as.character(x)

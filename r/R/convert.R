# Conversions of a run: adegenet's genind, and driftsim-stats' table.

as_genind <- function(run) {
  if (!inherits(run, "driftsim_run")) {
    stop_driftsim("parameter", "run must be a driftsim_run")
  }
  if (!requireNamespace("adegenet", quietly = TRUE)) {
    stop_driftsim("parameter", "as_genind needs the adegenet package (Debian: r-cran-adegenet)")
  }
  g <- run$genotypes
  # Individuals in rows, loci in columns, "a/b" for a genotype and NA where either allele is
  # missing, as the data file's readers take a genotype with one allele 0.
  calls <- matrix(paste(g[, , 1], g[, , 2], sep = "/"), nrow = dim(g)[1])
  calls[is.na(g[, , 1]) | is.na(g[, , 2])] <- NA
  calls <- t(calls)
  dimnames(calls) <- list(run$labels, dimnames(g)$locus)
  adegenet::df2genind(
    as.data.frame(calls, stringsAsFactors = FALSE),
    sep = "/", ind.names = run$labels, loc.names = dimnames(g)$locus, pop = run$sample,
    ploidy = 2, type = "codom", NA.char = NA
  )
}

# The table's columns; the JSON object gives the figures at full precision.
stats_columns <- c(
  "individuals", "loci", "missing", "alleles", "Ho", "He", "Fc", "Fk", "Fs", "Ne_Fc",
  "Ne_Fk", "Ne_Fs", "Fst", "Hs", "t", "S1_hmean", "S2_hmean", "F_loci", "F_alleles"
)

run_stats <- function(run) {
  if (!inherits(run, "driftsim_run")) {
    stop_driftsim("parameter", "run must be a driftsim_run")
  }
  sample_code <- match(as.character(run$sample), sample_names) - 1L
  text <- engine_value(.engine_stats_json(
    run$genotypes, sample_code, run$labels, as.integer(run$generations), "run.dat", "run.par"
  ))
  stats_table(jsonlite::fromJSON(text, simplifyVector = FALSE))
}

# driftsim-stats' table from its JSON object: rows S1, S2, S0 (when present), S1-S2, S1-S0
# (when S0 is present), then the four interval rows of S1-S2. NA where a figure does not apply,
# Inf for an infinite Ne.
stats_table <- function(json) {
  number <- function(x) {
    if (is.null(x)) NA_real_ else if (identical(x, "inf")) Inf else if (identical(x, "-inf")) -Inf
    else as.numeric(x)
  }
  rows <- list()
  add <- function(name, values) {
    row <- stats::setNames(rep(NA_real_, length(stats_columns)), stats_columns)
    row[names(values)] <- vapply(values, number, numeric(1))
    rows[[name]] <<- row
  }
  for (s in names(json$samples)) {
    x <- json$samples[[s]]
    add(s, x[c("individuals", "loci", "missing", "alleles", "Ho", "He", "Hs")])
  }
  f <- json[["S1-S2"]]
  kinds <- c("Fc", "Fk", "Fs")
  add("S1-S2", c(
    stats::setNames(lapply(kinds, function(k) f[[k]]$F), kinds),
    stats::setNames(lapply(kinds, function(k) f[[k]]$Ne), paste0("Ne_", kinds)),
    list(t = f$t, S1_hmean = f$S1_hmean, S2_hmean = f$S2_hmean, F_loci = f$loci,
         F_alleles = f$alleles)
  ))
  if (!is.null(json[["S1-S0"]])) add("S1-S0", list(Fst = json[["S1-S0"]]$Fst))
  for (interval in c("jackknife", "chisq")) {
    for (side in 1:2) {
      add(sprintf("S1-S2_%s_%s", interval, c("low", "high")[side]), c(
        stats::setNames(lapply(kinds, function(k) f[[k]][[interval]]$F[[side]]), kinds),
        stats::setNames(lapply(kinds, function(k) f[[k]][[interval]]$Ne[[side]]),
                        paste0("Ne_", kinds))
      ))
    }
  }
  table <- as.data.frame(do.call(rbind, rows))
  cbind(data.frame(row = names(rows)), table, row.names = NULL)
}

# The driftsim_run class: the samples of a run, simulated or read back from files.

sample_names <- c("S0", "S1", "S2")

# Individuals come in the order of the data file: sample 1, sample 2, then the source sample.
# linkage: a linked run's positions, chromosomes and map_positions per locus, else NULL.
new_run <- function(genotypes, sample, parameters = NULL, true_values = NULL, model = NULL,
                    replicate = NULL, cpu_path = NULL, labels = NULL, generations = NULL,
                    linkage = NULL) {
  sample <- factor(sample_names[sample + 1L], levels = c("S1", "S2", "S0"))
  sample <- droplevels(sample)
  if (is.null(labels)) labels <- paste0(sample, "_", stats::ave(seq_along(sample), sample,
                                                                FUN = seq_along))
  dimnames(genotypes) <- list(
    locus = paste0("L", seq_len(dim(genotypes)[1])), individual = labels, NULL
  )
  structure(
    list(
      genotypes = genotypes, sample = sample, labels = labels, parameters = parameters,
      seed = parameters$seed, true_values = true_values, model = model,
      replicate = replicate, cpu_path = cpu_path,
      generations = if (is.null(generations)) parameters$num_gen else generations,
      positions = linkage$positions, chromosomes = linkage$chromosomes,
      map_positions = linkage$map_positions
    ),
    class = "driftsim_run"
  )
}

print.driftsim_run <- function(x, ...) {
  counts <- table(x$sample)
  cat(sprintf(
    "<driftsim_run: %d loci, %d individuals (%s), %d generations apart%s>\n",
    dim(x$genotypes)[1], dim(x$genotypes)[2],
    paste(names(counts), counts, collapse = ", "), x$generations,
    if (is.null(x$seed)) ", read from files" else sprintf(", seed %.0f", x$seed)
  ))
  if (!is.null(x$true_values)) {
    cat(sprintf(
      "true values: harmonic-mean Ne %.6g, drift Ne %.6g, temporal F %.6g\n",
      x$true_values$harmonic_mean_ne, x$true_values$drift_ne, x$true_values$temporal_f
    ))
  }
  invisible(x)
}

summary.driftsim_run <- function(object, ...) {
  g <- object$genotypes
  missing <- is.na(g[, , 1]) | is.na(g[, , 2])
  by_sample <- vapply(levels(object$sample), function(s) {
    mean(missing[, object$sample == s, drop = FALSE])
  }, numeric(1))
  structure(
    list(
      loci = dim(g)[1], individuals = table(object$sample), missing = by_sample,
      parameters = object$parameters, seed = object$seed, true_values = object$true_values,
      generations = object$generations
    ),
    class = "summary.driftsim_run"
  )
}

print.summary.driftsim_run <- function(x, ...) {
  cat(sprintf("driftsim run: %d loci, samples %d generations apart\n", x$loci, x$generations))
  cat("individuals:", paste(names(x$individuals), x$individuals, collapse = ", "), "\n")
  cat("missing genotypes:", paste(names(x$missing), sprintf("%.4g", x$missing),
                                  collapse = ", "), "\n")
  if (!is.null(x$parameters)) {
    p <- x$parameters
    cat(sprintf(
      "parameters: model %g, Ne %g, migration %g, %g alleles, error rates %s, seed %.0f\n",
      p$model, p$ne, p$mig_rate, p$num_alleles, paste(p$error_rates, collapse = "/"), x$seed
    ))
  }
  if (!is.null(x$true_values)) {
    cat(sprintf(
      "true values: harmonic-mean Ne %.6g, drift Ne %.6g, temporal F %.6g\n",
      x$true_values$harmonic_mean_ne, x$true_values$drift_ne, x$true_values$temporal_f
    ))
  }
  invisible(x)
}

# One row per individual and locus: the long layout of the genotypes.
as.data.frame.driftsim_run <- function(x, row.names = NULL, optional = FALSE, ...) {
  g <- x$genotypes
  loci <- dim(g)[1]
  n <- dim(g)[2]
  data.frame(
    individual = factor(rep(x$labels, each = loci), levels = x$labels),
    sample = rep(x$sample, each = loci),
    locus = factor(rep(dimnames(g)$locus, times = n), levels = dimnames(g)$locus),
    allele1 = as.vector(g[, , 1]),
    allele2 = as.vector(g[, , 2]),
    row.names = row.names
  )
}

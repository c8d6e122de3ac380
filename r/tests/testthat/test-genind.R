# as_genind agrees with the data file parsed here on its own: the copies of each allele at each
# locus in each sample, and the populations.
dat_allele_counts <- function(path) {
  rows <- strsplit(trimws(readLines(path)), "[[:space:]]+")
  sample <- sub("_.*$", "", vapply(rows, `[`, "", 1))
  alleles <- t(vapply(rows, function(r) as.integer(r[-1]), integer(length(rows[[1]]) - 1)))
  counts <- list()
  for (l in seq_len(ncol(alleles) / 2)) {
    pair <- alleles[, c(2 * l - 1, 2 * l), drop = FALSE]
    typed <- pair[, 1] != 0 & pair[, 2] != 0
    for (s in unique(sample)) {
      a <- as.vector(pair[sample == s & typed, ])
      for (value in unique(a)) counts[[sprintf("%s L%d.%d", s, l, value)]] <- sum(a == value)
    }
  }
  unlist(counts)
}

genind_allele_counts <- function(g) {
  tab <- adegenet::tab(g)
  counts <- list()
  for (s in levels(adegenet::pop(g))) {
    sums <- colSums(tab[adegenet::pop(g) == s, , drop = FALSE], na.rm = TRUE)
    sums <- sums[sums > 0]
    counts[paste(s, names(sums))] <- as.list(sums)
  }
  unlist(counts)
}

test_that("as_genind counts the alleles of the data file by sample and locus", {
  skip_if_not_installed("adegenet")
  dir <- empty_folder()
  runs <- list(
    simulated = simulate_samples(ne = 80, num_loci = 25, model = 1, mig_rate = 0.05,
                                 error_rates = c(0.05, 0.05, 0.02), seed = 5),
    snps = simulate_samples(ne = 80, num_loci = 25, num_alleles = 2, seed = 6)
  )
  for (name in names(runs)) {
    stem <- file.path(dir, name)
    write_run(runs[[name]], stem)
    g <- as_genind(runs[[name]])
    expect_identical(as.character(adegenet::pop(g)), as.character(runs[[name]]$sample))
    expect_identical(adegenet::indNames(g), runs[[name]]$labels)
    expected <- dat_allele_counts(paste0(stem, ".dat"))
    got <- genind_allele_counts(g)
    expect_identical(sort(names(got)), sort(names(expected)), label = name)
    expect_equal(got[names(expected)], expected, label = name)
  }
})

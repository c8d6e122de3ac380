# Linked loci: the map per locus beside the genotypes, and genotypes in phase.
test_that("a linked run carries its map and its haplotypes, an unlinked one neither", {
  dir <- empty_folder()
  chrom <- rep(c("chr1", "chr2", "chr3"), c(25, 20, 15))
  index <- c(0:24, 0:19, 0:14)
  map_file <- file.path(dir, "linked.map")
  writeLines(sprintf("%s snp%d %g %d", chrom, seq_along(chrom), 0.5 * index, 1000 * index + 7),
             map_file)
  cases <- list(
    list(option = list(map = map_file), chromosomes = chrom, positions = 1000 * index + 7,
         morgans = index / 200),
    list(option = list(chromosomes = c(3, 0.5)), chromosomes = rep(c("1", "2", "3"), each = 20),
         positions = NULL, morgans = rep(0.5 * (0:19 + 0.5) / 20, 3))
  )
  for (case in cases) {
    run <- do.call(simulate_samples, c(list(ne = 100, num_loci = 60, num_alleles = 2,
                                            seed = 5), case$option))
    label <- names(case$option)
    expect_identical(run$chromosomes, case$chromosomes, label = label)
    expect_type(run$positions, "double")
    expect_length(run$positions, 60)
    if (!is.null(case$positions)) expect_identical(run$positions, case$positions, label = label)
    expect_equal(run$map_positions, case$morgans, label = label)
  }

  # Without recombination and mutation a sample holds a few haplotypes, which the genotypes
  # show only when the copies of a heterozygote keep their order.
  run <- simulate_samples(ne = 100, num_loci = 60, num_alleles = 2, sample_sizes = c(0, 20, 20),
                          chromosomes = "1:1e-6", mutation_rate = 0, burn_in = 100, seed = 5)
  g <- run$genotypes
  haplotypes <- unique(rbind(t(g[, , 1]), t(g[, , 2])))
  expect_lte(nrow(haplotypes), 10)
  expect_true(any(g[, , 1] > g[, , 2]))
  back <- read_run_of(run, dir)
  expect_identical(unname(pmin(g[, , 1], g[, , 2])), unname(back$genotypes[, , 1]))

  plain <- simulate_samples(ne = 100, num_loci = 20, num_alleles = 2, seed = 5)
  expect_null(plain$positions)
  expect_null(plain$chromosomes)
  expect_null(plain$map_positions)
  expect_false(any(plain$genotypes[, , 1] > plain$genotypes[, , 2]))
})
